// The scripted test peer.  One thread accepts on both listening sockets;
// every accepted connection is served by a thread of its own.  All waits
// poll the connection together with a stop pipe, so the destructor only
// has to write one byte to that pipe to make every thread return.
#include "peer/test_peer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kl::test {

namespace {

constexpr std::uint32_t kLastFragment = 0x8000;
constexpr std::uint32_t kStandalone = 18070;
constexpr std::size_t kDispatchRequestSize = 4;
constexpr std::size_t kDispatchReplySize = 52;
constexpr std::size_t kMaxRecord = std::size_t{16} << 20; // larger records end the connection
constexpr int kHoldPollMs = 10;                           // how often a held step checks release
constexpr auto kFragmentPause = std::chrono::milliseconds(2);

void put_be32(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void put_le32(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 24));
}

std::uint32_t get_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void pad_to_4(Bytes& out, std::size_t counted) {
    out.insert(out.end(), (4 - counted % 4) % 4, 0);
}

// The send calls for one answer, in order: each element leaves with a send
// call of its own.
std::vector<Bytes> frame_answer(const Answer& answer) {
    std::vector<Bytes> chunks;
    if (answer.raw) {
        // Unframed: the fragment sizes, when given, only cut the send calls.
        std::size_t pos = 0;
        for (std::size_t size : answer.fragments) {
            std::size_t n = std::min(size, answer.payload.size() - pos);
            chunks.emplace_back(answer.payload.begin() + pos, answer.payload.begin() + pos + n);
            pos += n;
        }
        if (pos < answer.payload.size() || answer.fragments.empty())
            chunks.emplace_back(answer.payload.begin() + pos, answer.payload.end());
        return chunks;
    }

    Bytes data;
    put_be32(data, answer.length_word.value_or(static_cast<std::uint32_t>(answer.payload.size())));
    data.insert(data.end(), answer.payload.begin(), answer.payload.end());
    pad_to_4(data, answer.payload.size());

    std::size_t pos = 0;
    auto emit = [&](std::size_t n, bool last) {
        Bytes chunk;
        put_be32(chunk, static_cast<std::uint32_t>(n) | (last ? kLastFragment : 0));
        chunk.insert(chunk.end(), data.begin() + pos, data.begin() + pos + n);
        pos += n;
        chunks.push_back(std::move(chunk));
    };
    for (std::size_t i = 0; i < answer.fragments.size(); ++i) {
        std::size_t n = std::min(answer.fragments[i], data.size() - pos);
        emit(n, i + 1 == answer.fragments.size() && pos + n == data.size());
    }
    // Sizes that fall short of the data leave the rest to a final fragment.
    if (answer.fragments.empty() || pos < data.size()) emit(data.size() - pos, true);
    return chunks;
}

enum class Io { ok, closed, stopped };
enum class Wait { ready, timeout, stopped };

int listen_loopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("test peer: socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("test peer: cannot listen on 127.0.0.1");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

Bytes hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw std::invalid_argument("hex: not a hex digit in \"" + text + "\"");
        int v = std::isdigit(static_cast<unsigned char>(c))
                    ? c - '0'
                    : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("hex: odd number of digits in \"" + text + "\"");
    return out;
}

std::string to_hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

StatusRecord& StatusRecord::text(const std::string& t) {
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, t.data(), std::min(t.size(), sizeof buffer));
    return *this;
}

Bytes encode_status(const StatusRecord& status, bool big_endian) {
    Bytes out;
    for (std::int32_t word : status.words) {
        auto v = static_cast<std::uint32_t>(word);
        big_endian ? put_be32(out, v) : put_le32(out, v);
    }
    out.insert(out.end(), status.buffer, status.buffer + sizeof status.buffer);
    return out;
}

Answer status_answer(const StatusRecord& status, bool big_endian, const Bytes& data) {
    Answer answer;
    answer.payload = encode_status(status, big_endian);
    answer.payload.insert(answer.payload.end(), data.begin(), data.end());
    return answer;
}

struct TestPeer::Impl {
    int stop_pipe[2] = {-1, -1};
    int dispatcher_listener = -1;
    int server_listener = -1;
    std::uint16_t dispatcher_port = 0;
    std::uint16_t server_port = 0;

    mutable std::mutex mu;
    mutable std::condition_variable changed;
    DispatchReply reply;
    std::deque<Step> steps;
    std::vector<Request> requests;
    std::vector<Bytes> dispatch_requests;
    int server_accepted = 0;
    int dispatcher_accepted = 0;
    int server_open = 0; // server connections (standalone ones included) not yet ended
    std::atomic<unsigned> release_generation{0};

    std::thread acceptor;
    std::vector<std::thread> workers; // guarded by mu

    Impl() {
        if (::pipe2(stop_pipe, O_CLOEXEC) != 0) throw std::runtime_error("test peer: pipe failed");
        try {
            dispatcher_listener = listen_loopback(dispatcher_port);
            server_listener = listen_loopback(server_port);
        } catch (...) {
            close_all();
            throw;
        }
        acceptor = std::thread([this] { accept_loop(); });
    }

    ~Impl() {
        char byte = 1;
        while (::write(stop_pipe[1], &byte, 1) < 0 && errno == EINTR) {
        }
        acceptor.join();
        std::vector<std::thread> running;
        {
            std::lock_guard lock(mu);
            running.swap(workers);
        }
        for (auto& t : running)
            t.join();
        close_all();
    }

    void close_all() {
        for (int fd : {stop_pipe[0], stop_pipe[1], dispatcher_listener, server_listener})
            if (fd >= 0) ::close(fd);
    }

    // Waits for events on fd, or for the stop pipe; timeout_ms < 0 waits
    // until one of them comes.
    Wait wait_for(int fd, short events, int timeout_ms) const {
        for (;;) {
            pollfd fds[2] = {{stop_pipe[0], POLLIN, 0}, {fd, events, 0}};
            int rc = ::poll(fds, 2, timeout_ms);
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0 || fds[0].revents != 0) return Wait::stopped;
            return rc == 0 ? Wait::timeout : Wait::ready;
        }
    }

    Io recv_exact(int fd, std::uint8_t* out, std::size_t n) const {
        while (n > 0) {
            if (wait_for(fd, POLLIN, -1) == Wait::stopped) return Io::stopped;
            ssize_t got = ::recv(fd, out, n, MSG_DONTWAIT);
            if (got == 0) return Io::closed;
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                return Io::closed;
            }
            out += got;
            n -= static_cast<std::size_t>(got);
        }
        return Io::ok;
    }

    Io send_all(int fd, const std::uint8_t* data, std::size_t n) const {
        while (n > 0) {
            if (wait_for(fd, POLLOUT, -1) == Wait::stopped) return Io::stopped;
            ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                return Io::closed;
            }
            data += sent;
            n -= static_cast<std::size_t>(sent);
        }
        return Io::ok;
    }

    void accept_loop() {
        for (;;) {
            pollfd fds[3] = {{stop_pipe[0], POLLIN, 0},
                             {dispatcher_listener, POLLIN, 0},
                             {server_listener, POLLIN, 0}};
            int rc = ::poll(fds, 3, -1);
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0 || fds[0].revents != 0) return;
            for (int i = 1; i < 3; ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                bool dispatcher = fds[i].fd == dispatcher_listener;
                std::lock_guard lock(mu);
                if (dispatcher) {
                    ++dispatcher_accepted;
                    workers.emplace_back([this, fd] { serve_dispatcher(fd); });
                } else {
                    ++server_accepted;
                    ++server_open; // counted at once, so wait_for_disconnect sees it
                    workers.emplace_back([this, fd] { serve_server(fd); });
                }
            }
        }
    }

    void serve_dispatcher(int fd) {
        std::uint8_t request[kDispatchRequestSize];
        if (recv_exact(fd, request, sizeof request) != Io::ok) {
            ::close(fd);
            return;
        }
        DispatchReply r;
        {
            std::lock_guard lock(mu);
            dispatch_requests.emplace_back(request, request + sizeof request);
            r = reply;
        }
        changed.notify_all();
        if (r.close_without_reply) {
            ::close(fd);
            return;
        }

        Bytes out;
        put_be32(out, r.status);
        out.resize(48, 0);
        std::uint16_t port = r.server_port.value_or(server_port);
        for (std::uint16_t v : {r.host_type, port}) {
            out.push_back(static_cast<std::uint8_t>(v >> 8));
            out.push_back(static_cast<std::uint8_t>(v));
        }
        std::size_t n = std::min(r.reply_length, kDispatchReplySize);
        bool standalone = r.status == kStandalone && n == kDispatchReplySize;
        if (standalone) {
            // Counted before the reply leaves, so the client cannot see the
            // reply while the connection is not yet counted.
            std::lock_guard lock(mu);
            ++server_open;
        }
        if (send_all(fd, out.data(), n) == Io::ok && standalone) {
            serve_server(fd);
            return;
        }
        ::close(fd);
        if (standalone) server_ended();
    }

    void server_ended() {
        {
            std::lock_guard lock(mu);
            --server_open;
        }
        changed.notify_all();
    }

    Io read_record(int fd, Request& req) const {
        Bytes data;
        for (bool last = false; !last;) {
            std::uint8_t header[4];
            if (Io io = recv_exact(fd, header, 4); io != Io::ok) return io;
            req.raw.insert(req.raw.end(), header, header + 4);
            std::uint32_t word = get_be32(header);
            last = (word & kLastFragment) != 0;
            std::size_t length = word & ~kLastFragment;
            if (data.size() + length > kMaxRecord) return Io::closed;
            std::size_t start = data.size();
            data.resize(start + length);
            if (Io io = recv_exact(fd, data.data() + start, length); io != Io::ok) return io;
            req.raw.insert(req.raw.end(), data.begin() + start, data.end());
        }
        if (data.size() >= 4) {
            req.length_word = get_be32(data.data());
            std::size_t n = std::min<std::size_t>(req.length_word, data.size() - 4);
            req.payload.assign(data.begin() + 4, data.begin() + 4 + n);
        }
        return Io::ok;
    }

    // Serves one server connection until it ends, then closes it.
    void serve_server(int fd) {
        for (bool open = true; open;) {
            Request req;
            if (read_record(fd, req) != Io::ok) break;
            std::optional<Step> step;
            unsigned generation;
            {
                // The step and the release generation are taken before the
                // request becomes visible, so a release_held() issued after
                // wait_for_requests() always reaches this step.
                std::lock_guard lock(mu);
                if (!steps.empty()) {
                    step = std::move(steps.front());
                    steps.pop_front();
                }
                generation = release_generation.load();
                requests.push_back(std::move(req));
            }
            changed.notify_all();
            if (step) open = act(fd, *step, generation);
        }
        ::close(fd);
        server_ended();
    }

    // Carries out one step; false when the connection is to end.
    bool act(int fd, const Step& step, unsigned generation) {
        switch (step.fault) {
        case Fault::close_before_answer:
            return false;
        case Fault::never_answer:
            hold(fd, generation);
            return false;
        case Fault::close_mid_answer:
        case Fault::none:
            break;
        }
        bool cut = step.fault == Fault::close_mid_answer;
        std::size_t budget = step.close_after;
        bool first = true;
        for (const Answer& answer : step.answers) {
            for (const Bytes& chunk : frame_answer(answer)) {
                // A short pause between send calls makes the pieces arrive
                // separately, so the client's reader has to join them.
                if (!first) std::this_thread::sleep_for(kFragmentPause);
                first = false;
                std::size_t n = cut ? std::min(budget, chunk.size()) : chunk.size();
                if (send_all(fd, chunk.data(), n) != Io::ok) return false;
                if (cut) {
                    budget -= n;
                    if (budget == 0) return false;
                }
            }
        }
        return !cut;
    }

    // Keeps the connection open without a word until release_held(), the
    // client's close, or the peer's end.
    void hold(int fd, unsigned generation) const {
        while (release_generation.load() == generation) {
            Wait w = wait_for(fd, POLLIN, kHoldPollMs);
            if (w == Wait::stopped) return;
            if (w == Wait::ready) {
                std::uint8_t scratch[256];
                ssize_t got = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
            }
        }
    }
};

TestPeer::TestPeer() : impl_(std::make_unique<Impl>()) {}

TestPeer::~TestPeer() = default;

std::uint16_t TestPeer::dispatcher_port() const {
    return impl_->dispatcher_port;
}

std::uint16_t TestPeer::server_port() const {
    return impl_->server_port;
}

void TestPeer::set_dispatch_reply(const DispatchReply& reply) {
    std::lock_guard lock(impl_->mu);
    impl_->reply = reply;
}

void TestPeer::script(std::vector<Step> steps) {
    std::lock_guard lock(impl_->mu);
    for (Step& step : steps)
        impl_->steps.push_back(std::move(step));
}

std::vector<Request> TestPeer::requests() const {
    std::lock_guard lock(impl_->mu);
    return impl_->requests;
}

std::vector<Bytes> TestPeer::dispatch_requests() const {
    std::lock_guard lock(impl_->mu);
    return impl_->dispatch_requests;
}

int TestPeer::server_connections() const {
    std::lock_guard lock(impl_->mu);
    return impl_->server_accepted;
}

int TestPeer::dispatcher_connections() const {
    std::lock_guard lock(impl_->mu);
    return impl_->dispatcher_accepted;
}

bool TestPeer::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests.size() >= n; });
}

bool TestPeer::wait_for_disconnect(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->server_open == 0; });
}

void TestPeer::release_held() {
    ++impl_->release_generation;
}

} // namespace kl::test

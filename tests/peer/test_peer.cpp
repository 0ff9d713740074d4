// The scripted test peer.  One thread accepts on both listening sockets;
// every accepted connection is served by a thread of its own.  All waits
// poll the connection together with a stop signal (a wake-up pair), so the
// destructor only has to write one byte to it to make every thread return.
// Sockets are reached through the tests' small operating-system seam, so
// the peer runs on POSIX and on Windows alike.
#include "peer/test_peer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <deque>
#include <stdexcept>

#include "peer/framing.h"
#include "peer/test_os.h"

namespace kl::test {

namespace {

constexpr std::size_t kDispatchRequestSize = 4;
constexpr std::size_t kMaxRecord = std::size_t{16} << 20; // larger records end the connection
constexpr int kHoldPollMs = 10;                           // how often a held step checks release
constexpr auto kFragmentPause = std::chrono::milliseconds(2);

// The send calls for one answer, in order: each element leaves with a send
// call of its own.
std::vector<Bytes> frame_answer(const Answer& answer) {
    return fragments(record_body(answer.payload, answer.length_word), answer.fragments);
}

enum class Io { ok, closed, stopped };
enum class Wait { ready, timeout, stopped };

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
    os::WakePair stop;
    os::sock_t dispatcher_listener = os::bad_socket;
    os::sock_t server_listener = os::bad_socket;
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
        stop = os::make_wake_pair();
        try {
            dispatcher_listener = os::listen_loopback(dispatcher_port);
            server_listener = os::listen_loopback(server_port);
        } catch (...) {
            close_all();
            throw;
        }
        acceptor = std::thread([this] { accept_loop(); });
    }

    ~Impl() {
        os::wake(stop);
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
        os::close(stop);
        os::close(dispatcher_listener);
        os::close(server_listener);
    }

    // Waits until fd is readable (or writable), or for the stop signal;
    // timeout_ms < 0 waits until one of them comes.
    Wait wait_for(os::sock_t fd, bool write, int timeout_ms) const {
        os::PollItem items[2] = {{.socket = stop.read_end, .read = true},
                                 {.socket = fd, .read = !write, .write = write}};
        const int rc = os::poll(items, 2, timeout_ms);
        if (rc < 0 || items[0].ready) return Wait::stopped;
        return rc == 0 ? Wait::timeout : Wait::ready;
    }

    // The connection's sockets are non-blocking: every call returns at once
    // and the waits happen in wait_for.
    Io recv_exact(os::sock_t fd, std::uint8_t* out, std::size_t n) const {
        while (n > 0) {
            if (wait_for(fd, false, -1) == Wait::stopped) return Io::stopped;
            long got = os::recv(fd, out, n);
            if (got == 0) return Io::closed;
            if (got < 0) {
                if (os::try_again()) continue;
                return Io::closed;
            }
            out += got;
            n -= static_cast<std::size_t>(got);
        }
        return Io::ok;
    }

    Io send_all(os::sock_t fd, const std::uint8_t* data, std::size_t n) const {
        while (n > 0) {
            if (wait_for(fd, true, -1) == Wait::stopped) return Io::stopped;
            long sent = os::send(fd, data, n);
            if (sent < 0) {
                if (os::try_again()) continue;
                return Io::closed;
            }
            data += sent;
            n -= static_cast<std::size_t>(sent);
        }
        return Io::ok;
    }

    void accept_loop() {
        for (;;) {
            os::PollItem items[3] = {{.socket = stop.read_end, .read = true},
                                     {.socket = dispatcher_listener, .read = true},
                                     {.socket = server_listener, .read = true}};
            if (os::poll(items, 3, -1) < 0 || items[0].ready) return;
            for (int i = 1; i < 3; ++i) {
                if (!items[i].ready) continue;
                os::sock_t fd = os::accept(items[i].socket);
                if (fd == os::bad_socket) continue;
                os::set_nodelay(fd);
                os::set_nonblocking(fd);
                bool dispatcher = items[i].socket == dispatcher_listener;
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

    void serve_dispatcher(os::sock_t fd) {
        std::uint8_t request[kDispatchRequestSize];
        if (recv_exact(fd, request, sizeof request) != Io::ok) {
            os::close(fd);
            return;
        }
        DispatchReply r;
        unsigned generation;
        {
            std::lock_guard lock(mu);
            dispatch_requests.emplace_back(request, request + sizeof request);
            r = reply;
            generation = release_generation.load();
        }
        changed.notify_all();
        if (r.hold_without_reply) {
            hold(fd, generation);
            os::close(fd);
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
        const bool standalone = r.status == dispatch_standalone;
        if (standalone) {
            // Counted before the reply leaves, so the client cannot see the
            // reply while the connection is not yet counted.
            std::lock_guard lock(mu);
            ++server_open;
        }
        if (send_all(fd, out.data(), out.size()) == Io::ok && standalone) {
            serve_server(fd);
            return;
        }
        os::close(fd);
        if (standalone) server_ended();
    }

    void server_ended() {
        {
            std::lock_guard lock(mu);
            --server_open;
        }
        changed.notify_all();
    }

    Io read_record(os::sock_t fd, Request& req) const {
        Io io = Io::ok;
        const ReadFragments r = read_fragments(
            [&](std::uint8_t* to, std::size_t n) { return (io = recv_exact(fd, to, n)) == Io::ok; },
            kMaxRecord, &req.raw);
        if (io != Io::ok) return io;
        if (!r.complete) return Io::closed; // longer than kMaxRecord
        const Bytes& data = r.body;
        if (data.size() >= 4) {
            req.length_word = get_be32(data.data());
            std::size_t n = std::min<std::size_t>(req.length_word, data.size() - 4);
            req.payload.assign(data.begin() + 4, data.begin() + 4 + n);
        }
        return Io::ok;
    }

    // Serves one server connection until it ends, then closes it.
    void serve_server(os::sock_t fd) {
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
        os::close(fd);
        server_ended();
    }

    // Carries out one step; false when the connection is to end.
    bool act(os::sock_t fd, const Step& step, unsigned generation) {
        switch (step.fault) {
        case Fault::close_before_answer:
            return false;
        case Fault::never_answer:
            hold(fd, generation);
            return false;
        case Fault::hold_then_answer:
            if (!hold(fd, generation)) return false;
            break;
        case Fault::close_mid_answer:
        case Fault::stop_mid_answer:
        case Fault::none:
            break;
        }
        const bool cut =
            step.fault == Fault::close_mid_answer || step.fault == Fault::stop_mid_answer;
        std::size_t budget = step.close_after;
        bool first = true;
        for (const Answer& answer : step.answers) {
            for (const Bytes& chunk : frame_answer(answer)) {
                // A short pause between send calls makes the pieces arrive
                // separately, so the client's reader has to join them.
                if (!first) std::this_thread::sleep_for(step.pause.value_or(kFragmentPause));
                first = false;
                std::size_t n = cut ? std::min(budget, chunk.size()) : chunk.size();
                if (send_all(fd, chunk.data(), n) != Io::ok) return false;
                if (cut) {
                    budget -= n;
                    if (budget == 0) {
                        if (step.fault == Fault::stop_mid_answer) hold(fd, generation);
                        return false;
                    }
                }
            }
        }
        return !cut;
    }

    // Keeps the connection open without a word until release_held() (true),
    // the client's close or the peer's end (false).  Bytes the client sends
    // meanwhile are dropped.
    bool hold(os::sock_t fd, unsigned generation) const {
        while (release_generation.load() == generation) {
            Wait w = wait_for(fd, false, kHoldPollMs);
            if (w == Wait::stopped) return false;
            if (w == Wait::ready) {
                std::uint8_t scratch[256];
                long got = os::recv(fd, scratch, sizeof scratch);
                if (got == 0 || (got < 0 && !os::try_again())) return false;
            }
        }
        return true;
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

void TestPeer::clear_script() {
    std::lock_guard lock(impl_->mu);
    impl_->steps.clear();
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

// One thread accepts on both listening sockets; every accepted connection
// is served by a thread of its own.  All waits poll the connection with a
// stop signal (a wake-up pair): one byte written to it ends every thread.
#include "peer/test_peer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace kl::test {

namespace {

constexpr std::size_t kDispatchRequestSize = 4;
constexpr std::size_t kMaxRecord = std::size_t{16} << 20; // larger records end the connection
constexpr int kHoldPollMs = 10;                           // how often a held step checks release
constexpr auto kFragmentPause = std::chrono::milliseconds(2);

} // namespace

Bytes hex(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    if (digits.size() % 2 != 0 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw std::invalid_argument("hex: not pairs of hex digits in \"" + text + "\"");
    Bytes out;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
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
    for (std::int32_t word : status.words)
        put_number(out, static_cast<std::uint32_t>(word), 4, big_endian);
    out.insert(out.end(), status.buffer, status.buffer + sizeof status.buffer);
    return out;
}

Answer status_answer(const StatusRecord& status, bool big_endian, const Bytes& data) {
    Answer answer;
    answer.payload = encode_status(status, big_endian);
    answer.payload.insert(answer.payload.end(), data.begin(), data.end());
    return answer;
}

TestPeer::TestPeer() {
    stop_ = os::make_wake_pair();
    try {
        dispatcher_listener_ = os::listen_loopback(dispatcher_port_);
        server_listener_ = os::listen_loopback(server_port_);
    } catch (...) {
        os::close(stop_);
        os::close(dispatcher_listener_);
        throw;
    }
    acceptor_ = std::thread([this] { accept_loop(); });
}

TestPeer::~TestPeer() {
    os::wake(stop_);
    acceptor_.join();
    for (auto& t : locked([&] { return std::move(workers_); }))
        t.join();
    os::close(stop_);
    os::close(dispatcher_listener_);
    os::close(server_listener_);
}

void TestPeer::accept_loop() {
    for (;;) {
        os::PollItem items[3] = {{.socket = stop_.read_end, .read = true},
                                 {.socket = dispatcher_listener_, .read = true},
                                 {.socket = server_listener_, .read = true}};
        if (os::poll(items, 3, -1) < 0 || items[0].ready) return;
        for (int i = 1; i < 3; ++i) {
            if (!items[i].ready) continue;
            os::sock_t fd = os::accept(items[i].socket);
            if (fd == os::bad_socket) continue;
            os::set_nodelay(fd);
            os::set_nonblocking(fd);
            const bool dispatcher = i == 1;
            std::lock_guard lock(mu_);
            ++(dispatcher ? dispatcher_accepted_ : server_accepted_);
            if (!dispatcher) ++server_open_; // counted at once, so wait_for_disconnect sees it
            workers_.emplace_back(
                [this, fd, dispatcher] { dispatcher ? serve_dispatcher(fd) : serve_server(fd); });
        }
    }
}

void TestPeer::serve_dispatcher(os::sock_t fd) {
    std::uint8_t request[kDispatchRequestSize];
    if (!os::transfer(fd, false, request, sizeof request, -1, stop_.read_end)) {
        os::close(fd);
        return;
    }
    const auto [r, generation] = locked([&] {
        dispatches_.emplace_back(request, request + sizeof request);
        return std::pair{reply_, release_generation_.load()};
    });
    changed_.notify_all();
    if (r.hold_without_reply) {
        hold(fd, generation);
        os::close(fd);
        return;
    }

    Bytes out;
    put_number(out, r.status);
    out.resize(48, 0);
    put_number(out, std::uint32_t{r.host_type} << 16 | r.server_port.value_or(server_port_));
    const bool standalone = r.status == dispatch_standalone;
    // Counted before the reply leaves, so the client cannot see the reply
    // while the connection is not yet counted.
    if (standalone) locked([&] { ++server_open_; });
    if (os::transfer(fd, true, out.data(), out.size(), -1, stop_.read_end) && standalone) {
        serve_server(fd);
        return;
    }
    os::close(fd);
    if (standalone) server_ended();
}

void TestPeer::server_ended() {
    locked([&] { --server_open_; });
    changed_.notify_all();
}

// Serves one server connection until it ends, then closes it.
void TestPeer::serve_server(os::sock_t fd) {
    for (bool open = true; open;) {
        Request req;
        const ReadFragments r = read_fragments(
            [&](std::uint8_t* to, std::size_t n) {
                return os::transfer(fd, false, to, n, -1, stop_.read_end);
            },
            kMaxRecord, &req.raw);
        if (!r.complete) break; // cut off, or longer than kMaxRecord
        // A length word past the record leaves the payload empty.
        req.length_word = r.body.size() >= 4 ? get_number(r.body.data()) : 0;
        req.payload = body_payload(r.body).value_or(Bytes{});
        // The step and the release generation are taken before the request
        // becomes visible, so a release_held() issued after
        // wait_for_requests() always reaches this step.
        auto [step, generation] = locked([&] {
            std::optional<Step> step;
            if (!steps_.empty()) {
                step = std::move(steps_.front());
                steps_.pop_front();
            }
            requests_.push_back(std::move(req));
            return std::pair{std::move(step), release_generation_.load()};
        });
        changed_.notify_all();
        if (step) open = act(fd, *step, generation);
    }
    os::close(fd);
    server_ended();
}

// Carries out one step; false when the connection is to end.
bool TestPeer::act(os::sock_t fd, const Step& step, unsigned generation) {
    const Fault f = step.fault;
    if (f == Fault::close_before_answer) return false;
    if (f == Fault::never_answer || f == Fault::hold_then_answer) {
        if (!hold(fd, generation) || f == Fault::never_answer) return false;
    }
    const bool cut = f == Fault::close_mid_answer || f == Fault::stop_mid_answer;
    std::size_t budget = step.close_after;
    bool first = true;
    for (const Answer& answer : step.answers) {
        for (const Bytes& chunk :
             fragments(record_body(answer.payload, answer.length_word), answer.fragments)) {
            if (!first) std::this_thread::sleep_for(step.pause.value_or(kFragmentPause));
            first = false;
            const std::size_t n = cut ? std::min(budget, chunk.size()) : chunk.size();
            if (!os::transfer(fd, true, const_cast<std::uint8_t*>(chunk.data()), n, -1,
                              stop_.read_end))
                return false;
            if (cut && (budget -= n) == 0) {
                if (f == Fault::stop_mid_answer) hold(fd, generation);
                return false;
            }
        }
    }
    return !cut;
}

// Keeps the connection open without a word until release_held() (true),
// the client's close or the peer's end (false).  Bytes the client sends
// meanwhile are dropped.
bool TestPeer::hold(os::sock_t fd, unsigned generation) const {
    while (release_generation_.load() == generation) {
        os::PollItem items[2] = {{.socket = stop_.read_end, .read = true},
                                 {.socket = fd, .read = true}};
        if (os::poll(items, 2, kHoldPollMs) < 0 || items[0].ready) return false;
        if (items[1].ready) {
            std::uint8_t scratch[256];
            long got = os::recv(fd, scratch, sizeof scratch);
            if (got == 0 || (got < 0 && !os::try_again())) return false;
        }
    }
    return true;
}

} // namespace kl::test

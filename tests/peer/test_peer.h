// A scripted test peer: a dispatcher and a server on 127.0.0.1 with
// ephemeral ports.  It records the raw bytes of every request and answers
// from a per-test script: status records in either byte order, data,
// answers cut into several fragments, and faults such as closing in the
// middle of a record, never answering or answering only when released.
// Its framing is the tests' own (peer/framing.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "peer/framing.h"
#include "peer/test_os.h"

namespace kl::test {

// Parses "00 00 80 5C ..." (blanks optional) into bytes.
Bytes hex(const std::string& text);
// Formats bytes as "00 00 80 5C" for readable test failures.
std::string to_hex(const Bytes& bytes);

// The 92-byte status record: fourteen 32-bit words and a 36-byte text.
struct StatusRecord {
    std::int32_t words[14] = {};
    char buffer[36] = {};

    StatusRecord& word(int i, std::int32_t v) {
        words[i] = v;
        return *this;
    }
    StatusRecord& error(std::int32_t v) { return word(0, v); }
    StatusRecord& warn(std::int32_t v) { return word(1, v); }
    StatusRecord& info(std::int32_t v) { return word(2, v); }
    StatusRecord& count(std::int32_t v) { return word(3, v); }
    StatusRecord& bufflen(std::int32_t v) { return word(4, v); }
    StatusRecord& valuesize(std::int32_t v) { return word(12, v); }
    StatusRecord& text(const std::string& t);
};

// Encodes a status record: the words big-endian when big_endian is set,
// little-endian otherwise; the text as it stands.
Bytes encode_status(const StatusRecord& status, bool big_endian);

struct Answer {
    Bytes payload;                            // the bytes after the length word
    std::optional<std::uint32_t> length_word; // default: payload.size()
    std::vector<std::size_t> fragments;       // data sizes of the fragments; empty = one
};

// A status record followed by data.
Answer status_answer(const StatusRecord& status, bool big_endian, const Bytes& data = {});

enum class Fault {
    none,
    close_before_answer, // read the request, then close without answering
    close_mid_answer,    // send close_after bytes of the framed answer, then close
    never_answer,        // read the request, then hold the connection silently
    stop_mid_answer,     // send close_after bytes of the framed answer, then hold silently
    hold_then_answer,    // read the request, hold it until release_held(), then answer
};

// What the server does for one request: read it, then send the answers.
struct Step {
    std::vector<Answer> answers;
    Fault fault = Fault::none;
    std::size_t close_after = 0; // for close_mid_answer and stop_mid_answer
    // Pause between the send calls of the answers' pieces (default: a
    // short one: the pieces arrive apart and the client must join them).
    std::optional<std::chrono::milliseconds> pause;
};

// The dispatcher's 52-byte reply.
struct DispatchReply {
    std::uint32_t status = 0;                 // 0 = connect to the server port; 18070 = standalone
    std::uint16_t host_type = 1;              // 2 or 3 = big-endian integers
    std::optional<std::uint16_t> server_port; // default: the peer's own server port
    bool hold_without_reply = false;          // read the request, then say nothing until released
};

struct Request {
    Bytes raw;     // every byte of the record, fragment headers included
    Bytes payload; // the request bytes: after the length word, padding removed
    std::uint32_t length_word = 0;
};

class TestPeer {
    template <class F> auto locked(F f) const {
        std::lock_guard lock(mu_);
        return f();
    }
    template <class Condition>
    bool wait(std::chrono::milliseconds timeout, Condition condition) const {
        std::unique_lock lock(mu_);
        return changed_.wait_for(lock, timeout, condition);
    }

  public:
    TestPeer();  // starts listening on 127.0.0.1 (ephemeral ports)
    ~TestPeer(); // closes every connection and joins the threads

    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    std::uint16_t dispatcher_port() const { return dispatcher_port_; }
    std::uint16_t server_port() const { return server_port_; }

    void set_dispatch_reply(const DispatchReply& reply) {
        locked([&] { reply_ = reply; });
    }
    // Steps for the requests to come, in order, on whichever server
    // connection they arrive (standalone ones included).  Each call adds to
    // the steps not yet used.  A request with no step left gets no answer.
    void script(std::vector<Step> steps) {
        locked([&] {
            steps_.insert(steps_.end(), std::make_move_iterator(steps.begin()),
                          std::make_move_iterator(steps.end()));
        });
    }
    // Drops the steps not yet used (call it when no request is in flight).
    void clear_script() {
        locked([&] { steps_.clear(); });
    }

    // Recorded so far.
    std::vector<Request> requests() const {
        return locked([&] { return requests_; });
    }
    // The 4-byte connect requests.
    std::vector<Bytes> dispatch_requests() const {
        return locked([&] { return dispatches_; });
    }
    // Accepted on the server port, on the dispatcher port.
    int server_connections() const {
        return locked([&] { return server_accepted_; });
    }
    int dispatcher_connections() const {
        return locked([&] { return dispatcher_accepted_; });
    }

    // Waits until n requests have been received (false on timeout).
    bool wait_for_requests(std::size_t n,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return wait(timeout, [&] { return requests_.size() >= n; });
    }
    // Waits until every server connection has ended: closed by the client,
    // or by the peer itself after a fault step.
    bool wait_for_disconnect(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return wait(timeout, [&] { return server_open_ == 0; });
    }

    // Lets a held step (never_answer, stop_mid_answer, a dispatcher holding
    // its reply) go: the peer then closes that connection.  After
    // hold_then_answer it sends the step's answers instead.
    void release_held() { ++release_generation_; }

  private:
    void accept_loop();
    void serve_dispatcher(os::sock_t fd);
    void serve_server(os::sock_t fd);
    void server_ended();
    bool act(os::sock_t fd, const Step& step, unsigned generation);
    bool hold(os::sock_t fd, unsigned generation) const;

    os::WakePair stop_;
    os::sock_t dispatcher_listener_ = os::bad_socket;
    os::sock_t server_listener_ = os::bad_socket;
    std::uint16_t dispatcher_port_ = 0;
    std::uint16_t server_port_ = 0;

    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    DispatchReply reply_;
    std::deque<Step> steps_;
    std::vector<Request> requests_;
    std::vector<Bytes> dispatches_;
    int server_accepted_ = 0;
    int dispatcher_accepted_ = 0;
    int server_open_ = 0; // server connections (standalone ones included) not yet ended
    std::atomic<unsigned> release_generation_{0};

    std::thread acceptor_;
    std::vector<std::thread> workers_; // guarded by mu_
};

} // namespace kl::test

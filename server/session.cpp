#include "session.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>

#include "handlers.h"
#include "server_errors.h"
#include "transaction.h"

namespace kls {

bool Exchange::answer(const Status& status, std::span<const std::uint8_t> data) {
    Writer w(big_endian);
    w.status(status).bytes(data);
    return send(w.data());
}

bool Exchange::send(const Bytes& payload) {
    sent = true;
    return session.channel().write_record(payload);
}

bool Exchange::send_framed(std::span<const std::uint8_t> records) {
    sent = true;
    return session.channel().write_raw(records);
}

std::optional<Bytes> Exchange::read_record() {
    return session.channel().read_record();
}

Session::Session(Channel& channel, ServerState& state, LoginGate gate)
    : channel_(channel), state_(state), gate_(std::move(gate)) {}

Session::~Session() {
    // A client that goes without disconnecting leaves nothing behind: its
    // transactions roll back and its files are released.
    cursors_.clear();
    for (auto& [id, inst] : instances_)
        end_transaction(inst);
}

bool Session::in_transaction() const {
    return std::any_of(instances_.begin(), instances_.end(),
                       [](const auto& entry) { return entry.second.in_transaction; });
}

void Session::roll_back_idle_transactions() {
    for (auto& [id, inst] : instances_)
        if (inst.in_transaction) {
            end_transaction(inst);
            inst.idle_rolled_back = true;
        }
}

Instance* Session::instance(std::uint32_t id) {
    auto it = instances_.find(id);
    return it == instances_.end() ? nullptr : &it->second;
}

Cursor* Session::cursor(std::uint32_t id) {
    auto it = cursors_.find(id);
    return it == cursors_.end() ? nullptr : &it->second;
}

Instance& Session::add_instance(Instance instance) {
    const std::uint32_t id = instance.id;
    return instances_.emplace(id, std::move(instance)).first->second;
}

void Session::remove_instance(std::uint32_t id) {
    std::erase_if(cursors_, [id](const auto& entry) { return entry.second.instance == id; });
    auto it = instances_.find(id);
    if (it == instances_.end()) return;
    end_transaction(it->second);
    instances_.erase(it);
}

Cursor& Session::add_cursor(std::uint32_t instance) {
    Cursor c;
    c.id = new_id();
    c.instance = instance;
    const std::uint32_t id = c.id;
    return cursors_.emplace(id, std::move(c)).first->second;
}

void Session::remove_cursor(std::uint32_t id) {
    cursors_.erase(id);
}

bool Session::log_in() {
    if (logged_in_) return true;
    if (gate_ && !gate_()) {
        refused_ = true;
        return false;
    }
    logged_in_ = true;
    // A logged-in session may wait between requests as long as it likes.
    channel_.set_deadline(std::nullopt);
    return true;
}

Channel::Time Session::next_request_wait() {
    Channel::Time until;
    const int idle = state_.config.idle_timeout_seconds;
    if (logged_in_ && idle > 0) until = idle_since_ + std::chrono::seconds(idle);
    const int in_transaction_limit = state_.config.idle_in_transaction_seconds;
    transaction_wait_ = in_transaction_limit > 0 && in_transaction();
    if (transaction_wait_) {
        const auto rollback_at = idle_since_ + std::chrono::seconds(in_transaction_limit);
        if (until && *until < rollback_at)
            transaction_wait_ = false;
        else
            until = rollback_at;
    }
    return until;
}

bool Session::request_wait_expired() {
    if (transaction_wait_) {
        // The session keeps its connection; its transactions end, so that
        // the write turns they hold go to the sessions waiting for them.
        roll_back_idle_transactions();
        return true;
    }
    drop_reason_ =
        "idle for " + std::to_string(state_.config.idle_timeout_seconds) + " s (--idle-timeout)";
    return false;
}

std::string Session::run() {
    while (!refused_) {
        if (auto request = channel_.read_record(next_request_wait())) {
            serve(*request);
            idle_since_ = Channel::Clock::now();
        } else if (channel_.finished() || !request_wait_expired())
            break;
    }
    return drop_reason_;
}

namespace {

// Answers a request whose handling ended in an exception, unless part of
// its answer has gone out: an error status then would be read as the rest
// of that answer, so nothing more is sent and the client's wait ends by
// its own timeout.  Nothing escapes, not even a failure to build this
// answer, so the session goes on with its next request.
void answer_failure(Exchange& ex, std::int32_t number, const char* text) noexcept {
    if (ex.sent) return;
    try {
        ex.answer(error_status(number, text));
    } catch (...) {
    }
}

} // namespace

void Session::serve(const Bytes& request) {
    const bool big = state_.config.big_endian;
    Reader in(request, big);
    RequestMemory memory(state_.config.max_request_memory);
    Exchange ex{*this, in, big, memory};
    try {
        const std::uint16_t code = in.u16();
        if (!in.ok()) {
            ex.answer(error_status(err_malformed, "request"));
            return;
        }
        const Handler handler = find_handler(code);
        if (handler == nullptr) {
            ex.answer(error_status(err_unknown_code, std::to_string(code), code));
            return;
        }
        handler(ex);
    } catch (const std::bad_alloc&) {
        // The request fails for want of memory; the session and the server
        // go on.
        answer_failure(ex, err_memory, "out of memory");
    } catch (const std::exception& e) {
        answer_failure(ex, err_storage, e.what());
    }
    // A write outside a transaction was its own transaction: its turn ends
    // with the request.
    for (auto& [id, inst] : instances_)
        if (!inst.in_transaction) inst.write_hold.release();
}

} // namespace kls

// One client connection's state: its instances (open databases) and
// cursors, and the loop that reads requests and answers them.  Each
// connection has its own thread and its own session, so sessions share
// nothing but the server state.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "request_memory.h"
#include "selection.h"
#include "storage.h"
#include "wire.h"
#include "write_lock.h"

namespace kls {

class UserFile;

struct ServerConfig {
    std::string data_dir;
    std::string export_dir;
    // Where the tables are.  Left empty, start() makes it SQLite files in
    // data_dir.
    std::shared_ptr<Storage> storage;
    bool big_endian = false;
    bool standalone = false;
    // Connections served as sessions at once; more are closed as soon as
    // accepted, so a flood of connections cannot exhaust the threads.
    int max_sessions = 256;
    // Connections not yet logged in (no successful connect request yet):
    // at most this many; when one more comes, the oldest is closed.
    int max_pending = 64;
    // Seconds a connection has to log in (on the dispatcher port: to send
    // its connect word).
    int login_timeout_seconds = 10;
    // Seconds a record, once begun, has to arrive whole.
    int record_timeout_seconds = 30;
    // Seconds a logged-in session may wait between requests; 0 = no limit.
    int idle_timeout_seconds = 0;
    // Instances and cursors one session may hold at once.
    int max_instances = 64;
    int max_cursors = 1024;
    // Memory one request may need for the rows it collects.
    std::size_t max_request_memory = std::size_t{256} << 20;
    // Seconds a write waits for another session's write to end.
    int write_wait_seconds = 30;
    // Seconds a session may stay idle inside an open transaction before it
    // is rolled back; 0 = no limit.
    int idle_in_transaction_seconds = 60;
    // Who may connect (--users FILE); nullptr accepts every user.
    std::shared_ptr<const UserFile> users;
};

// The process-wide state of the server: its configuration (its storage
// among it) and the source of identifiers.
struct ServerState {
    ServerConfig config;
    WriteTurns write_turns;
    std::atomic<std::uint32_t> next_id{1};
};

struct Instance {
    std::uint32_t id = 0;
    std::unique_ptr<Database> db;
    bool read_only = false;
    // The client's transaction is open (BEGIN seen).  Its database
    // transaction begins with its first write, when the write turn is taken.
    bool in_transaction = false;
    // The file's write turn, held from the first write to the end of the
    // transaction.
    WriteHold write_hold;
    // The transaction was rolled back because the session idled in it: the
    // next request naming the instance is told so.
    bool idle_rolled_back = false;
    // Catalogue continuation: the entries of the last catalogue request
    // and how many of them were sent.
    std::vector<Bytes> catalogue_entries;
    std::size_t catalogue_sent = 0;
};

struct Cursor {
    std::uint32_t id = 0;
    std::uint32_t instance = 0;
    std::optional<Selection> selection;
    // The rows of the last list request and their layout, for form.
    std::optional<Selection> list;
};

class Session;

// One request being served: its fields, and the means to answer it.
struct Exchange {
    Session& session;
    Reader& in;
    bool big_endian;
    // What the request may take in memory (config.max_request_memory).
    RequestMemory& memory;
    // Whether any record of the answer has gone out.
    bool sent = false;

    // Sends one answer record: the status, then data.
    bool answer(const Status& status, std::span<const std::uint8_t> data = {});
    // Sends a payload as one record.
    bool send(const Bytes& payload);
    // Sends records framed with append_record, all with one write.
    bool send_framed(std::span<const std::uint8_t> records);
    // Reads a further record the client sends for this request.
    std::optional<Bytes> read_record();
    Writer writer() const { return Writer(big_endian); }
};

class Session {
  public:
    // Told when the session's first connect succeeds (it is then logged
    // in); false refuses the session, whose connection is then closed.
    using LoginGate = std::function<bool()>;

    // Without a gate every session is let in.
    Session(Channel& channel, ServerState& state, LoginGate gate = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves requests until the client goes, breaks the framing or a time
    // limit ends the connection.  Why the session ended it, for the log
    // (empty when the channel ended it or the client went; the channel's
    // end() tells which).
    std::string run();

    // A connect succeeded: logs the session in (once).  False when the
    // server refuses the session; the request is then left unanswered and
    // the session ends.
    bool log_in();
    bool logged_in() const { return logged_in_; }

    ServerState& state() { return state_; }
    Channel& channel() { return channel_; }

    Instance* instance(std::uint32_t id);
    Cursor* cursor(std::uint32_t id);
    std::size_t instance_count() const { return instances_.size(); }
    std::size_t cursor_count() const { return cursors_.size(); }
    Instance& add_instance(Instance instance);
    void remove_instance(std::uint32_t id);
    Cursor& add_cursor(std::uint32_t instance);
    void remove_cursor(std::uint32_t id);
    std::uint32_t new_id() { return state_.next_id++; }
    // True while an instance of the session has a transaction open.
    bool in_transaction() const;
    // Rolls back every open transaction of the session (it idled in them
    // too long) and gives the write turns back.
    void roll_back_idle_transactions();

  private:
    void serve(const Bytes& request);
    // Until when the next request's first byte is waited for (nullopt: no
    // limit).  A connection not yet logged in is bounded by the channel's
    // login deadline besides.
    // An open transaction bounds it by --idle-in-transaction besides.
    Channel::Time next_request_wait();
    // That time passed with no request: true to go on serving (the wait is
    // then asked again), false to end the session with drop_reason_ set.
    bool request_wait_expired();

    Channel& channel_;
    ServerState& state_;
    LoginGate gate_;
    bool logged_in_ = false;
    // When the last request was answered, and whether the wait running now
    // is the idle-in-transaction limit (rather than the idle timeout).
    Channel::Clock::time_point idle_since_ = Channel::Clock::now();
    bool transaction_wait_ = false;
    bool refused_ = false;
    std::string drop_reason_;
    std::map<std::uint32_t, Instance> instances_;
    std::map<std::uint32_t, Cursor> cursors_;
};

} // namespace kls

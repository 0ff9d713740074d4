// Four threads call the library at once on one connection to the server in
// process: cursors opened, selected, fetched and closed, rows inserted,
// instances connected and disconnected on the same connection, and the
// calls that run outside the one-call guard (klerror's local texts,
// apierror, apiversion, apiinfo's local items), with the trace log on.
//
// The reference server answers every request for real, so the threads need
// no script of the order their requests will arrive in, and every
// successful call's results can be checked against the data.
//
// What a broken guard would do, and what catches it:
//  - two calls on the wire at once: the socket observer sees a send or
//    receive by a thread that does not hold the owner word, or the calls'
//    exchanges interleave;
//  - a call that gives the guard up halfway: its exchanges are not one run,
//    or it is refused with 18002 after it has used the connection;
//  - a refused call that did something: it used the connection, wrote the
//    caller's area, or the cursor's next fetch does not go on where the
//    last successful one stopped;
//  - crossed answers or tables: wrong records, a cursor or instance number
//    handed out twice, rows missing or extra in the tables;
//  - shared state touched without order: ThreadSanitizer (its stage runs
//    this test with halt_on_error), and lines lost in the trace log.
#include <atomic>
#include <chrono>
#include <cstring>
#include <latch>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server_fixture.h"

namespace kl::test {
namespace {

constexpr int thread_count = 4;
constexpr int rounds = 120;

// Every socket send and receive of the library, in the order they began:
// the thread that made it and the owner word at that moment.  Slots are
// claimed with a relaxed counter, so the recording orders nothing between
// the threads (ThreadSanitizer still sees the library's own ordering only).
struct SocketUse {
    std::uint32_t thread = 0;
    std::uint32_t owner = 0;
};
constexpr std::size_t use_capacity = 1 << 16;
std::vector<SocketUse> socket_uses(use_capacity);
std::atomic<std::size_t> next_use{0};

void record_socket_use() {
    const std::size_t slot = next_use.fetch_add(1, std::memory_order_relaxed);
    if (slot >= use_capacity) return;
    socket_uses[slot] = {platform::thread_identity(), owner_word.load(std::memory_order_relaxed)};
}

std::size_t uses_so_far() {
    return next_use.load(std::memory_order_relaxed);
}

// One call a worker made: which, by whom, and the socket uses that began
// while it ran.
struct CallRecord {
    const char* name = "";
    std::uint32_t thread = 0;
    bool refused = false; // ended with 18002
    bool guarded = true;  // false: must not use the connection at all
    std::size_t begin = 0, end = 0;
};

// A status record or an area with guard bytes on both sides, so a write
// outside it shows.
constexpr unsigned char guard_byte = 0xA5;
template <class T> struct Guarded {
    unsigned char before[32];
    T value;
    unsigned char after[32];
    Guarded() { std::memset(static_cast<void*>(this), guard_byte, sizeof *this); }
    bool guards_intact() const {
        for (std::size_t i = 0; i < 32; ++i)
            if (before[i] != guard_byte || after[i] != guard_byte) return false;
        return true;
    }
};
using GuardedStatus = Guarded<klstatus>;

// The records each thread selects: orders 40t+1 .. 40t+30, four integers
// (16 bytes) each, fetched six at a time.
constexpr int rows_per_selection = 30;
constexpr int fetch_batch = 6;
constexpr int record_length = 16;
std::string selection_criteria(int t) {
    return "id > " + std::to_string(40 * t) + " AND id <= " + std::to_string(40 * t + 30);
}
constexpr const char* selection_columns = "id customer product quantity";

// Character-form rows (blank id: the table picks it) named after the
// thread and round, so every row inserted is known by its name.
std::string insert_name(int t, int round) {
    return "thread " + std::to_string(t) + " row " + std::to_string(round);
}
std::string product_row(const std::string& name) {
    std::string row(32 + 30 + 32 + 32, ' ');
    row.replace(32, 30, 30, '\0');
    row.replace(32, name.size(), name);
    row.replace(62, 3, "1.5");
    row.replace(94, 1, "7");
    return row;
}
std::string customer_row(const std::string& name) {
    std::string row(32 + 24 + 16 + 8, ' ');
    row.replace(32, name.size(), name);
    row.replace(56, 6, "Bergen");
    row.replace(72, 8, "20240101");
    return row;
}

// Which thread holds each cursor and extra instance number (-1 none): a
// number handed out while another thread holds it is a corrupted table.
constexpr int max_number = 64;
std::atomic<int> cursor_holder[max_number];
std::atomic<int> instance_holder[max_number];

bool take_number(std::atomic<int>* holders, kl_long number, int t) {
    if (number <= 0 || number >= max_number) return false;
    int expected = -1;
    return holders[number].compare_exchange_strong(expected, t, std::memory_order_relaxed);
}

const std::string local_messages = "[ENVIRONMENT KLGLOBAL]\nKLMSG_11042=Cursor not open\n"
                                   "SOCKMSG_10054=Connection reset\n";

class Worker {
  public:
    Worker(int t, kl_long instance, const std::string& environment,
           const std::vector<std::string>& expected)
        : t_(t), instance_(instance), environment_(environment), expected_(expected) {}

    void run() {
        thread_ = platform::thread_identity();
        // The first klerror of every thread at once: the message file's
        // name is read by one of them.
        unguarded_call(0);
        for (int round = 0; round < rounds; ++round) {
            until_run([&] { cursor_step(); });
            if (round % 2 == t_ % 2) until_run([&] { insert(round); });
            if (round % 10 == t_) until_run([&] { instance_step(); });
            unguarded_call();
        }
        // Give back what the thread still holds.
        if (cursor_ != 0) until_run([&] { close_cursor(); });
        if (extra_instance_ != 0) until_run([&] { instance_step(); });
    }

    std::vector<CallRecord> calls;
    std::vector<std::string> failures;
    int failure_count = 0;
    std::map<std::string, std::set<std::string>> inserted; // table -> names
    int klerror_calls = 0;
    int version_calls = 0;

  private:
    // The first few failures are kept for the report; the rest counted.
    void fail(const std::string& what) {
        if (++failure_count <= 10) failures.push_back("thread " + std::to_string(t_) + ": " + what);
    }

    // Takes a step again after each refusal, with a call outside the guard
    // in between (so those run while another thread's call holds it), once
    // the guard is free again.  The owner word is watched with relaxed
    // loads, which order nothing between the threads.
    template <class Step> void until_run(Step step) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            refused_ = false;
            step();
            if (!refused_) return;
            unguarded_call();
            while (owner_word.load(std::memory_order_relaxed) != 0) {
                if (std::chrono::steady_clock::now() > deadline)
                    return fail("the guard stayed taken for 30 seconds");
                platform::yield_thread();
            }
        }
    }

    // Makes a guarded call; true when it ran, false when it was refused
    // with 18002 or failed (a failure is reported; the thread's state then
    // stays as it was and the step is not taken again).
    template <class Call> bool guarded(const char* name, GuardedStatus& s, Call call) {
        CallRecord record{name, thread_};
        record.begin = uses_so_far();
        const std::uint32_t r = call(s.value);
        record.end = uses_so_far();
        record.refused = r == KL_ERR_CALL_IN_PROGRESS;
        calls.push_back(record);
        refused_ = record.refused;
        if (!s.guards_intact()) fail(std::string(name) + " wrote outside the status record");
        if (record.refused) {
            const bool clean = s.value.error == KL_ERR_CALL_IN_PROGRESS && s.value.warn == 0 &&
                               s.value.info == 0 && s.value.buffer[0] == '\0';
            if (!clean) fail(std::string(name) + " refused with an unexpected status");
            return false;
        }
        if (r != 0) {
            fail(std::string(name) + " failed: result " + std::to_string(r) + ", error " +
                 std::to_string(s.value.error) + " [" +
                 std::string(s.value.buffer, strnlen(s.value.buffer, sizeof s.value.buffer)) + "]");
            return false;
        }
        return true;
    }

    void unguarded(const char* name, std::size_t begin) {
        CallRecord record{name, thread_};
        record.guarded = false;
        record.begin = begin;
        record.end = uses_so_far();
        calls.push_back(record);
    }

    // open -> select -> five fetches of six -> close, one call per step.
    void cursor_step() {
        if (cursor_ == 0) return open_cursor();
        if (!selected_) return select();
        if (position_ < rows_per_selection) return fetch();
        close_cursor();
    }

    void open_cursor() {
        GuardedStatus s;
        kl_long cursor = 0;
        if (!guarded("klopencursor", s,
                     [&](klstatus& st) { return klopencursor(instance_, "", &st, &cursor); })) {
            if (cursor != 0) fail("a refused klopencursor handed out a number");
            return;
        }
        if (!take_number(cursor_holder, cursor, t_))
            fail("cursor " + std::to_string(cursor) + " handed out while another thread holds it");
        cursor_ = cursor;
    }

    void select() {
        GuardedStatus s;
        const std::string criteria = selection_criteria(t_);
        if (!guarded("klselect", s, [&](klstatus& st) {
                return klselect(cursor_, "", &st, "orders", selection_columns, criteria.c_str());
            }))
            return;
        if (s.value.count != rows_per_selection || s.value.bufflen != record_length)
            fail("klselect: count " + std::to_string(s.value.count) + ", bufflen " +
                 std::to_string(s.value.bufflen));
        selected_ = true;
        position_ = 0;
    }

    void fetch() {
        GuardedStatus s;
        Guarded<char[fetch_batch * record_length + 16]> records;
        if (!guarded("klfetch", s, [&](klstatus& st) {
                return klfetch(cursor_, "", &st, fetch_batch, records.value);
            })) {
            // A refused fetch writes nothing and does not move the cursor,
            // as the next fetch's records show.
            for (const char c : records.value)
                if (static_cast<unsigned char>(c) != guard_byte)
                    return fail("a refused klfetch wrote the records area");
            return;
        }
        if (s.value.count != fetch_batch)
            return fail("klfetch count " + std::to_string(s.value.count));
        for (int k = 0; k < fetch_batch; ++k) {
            const std::string got(records.value + k * record_length, record_length);
            if (got != expected_[static_cast<std::size_t>(position_ + k)])
                return fail("klfetch: record " + std::to_string(position_ + k) + " is wrong");
        }
        for (std::size_t i = fetch_batch * record_length; i < sizeof records.value; ++i)
            if (static_cast<unsigned char>(records.value[i]) != guard_byte)
                return fail("klfetch wrote past its records");
        if (!records.guards_intact()) return fail("klfetch wrote outside its area");
        position_ += fetch_batch;
    }

    void close_cursor() {
        GuardedStatus s;
        if (cursor_ < max_number) cursor_holder[cursor_].store(-1, std::memory_order_relaxed);
        if (!guarded("klclosecursor", s,
                     [&](klstatus& st) { return klclosecursor(cursor_, "", &st); })) {
            if (!take_number(cursor_holder, cursor_, t_))
                fail("cursor " + std::to_string(cursor_) + " handed out before it was closed");
            return;
        }
        cursor_ = 0;
        selected_ = false;
    }

    // Every insert alternates the table, so each one asks the catalogue for
    // the row length first (nested requests inside the one call).
    void insert(int round) {
        const bool products = (round / 2 + t_) % 2 == 0;
        const char* table = products ? "products" : "customers";
        const std::string name = insert_name(t_, round);
        const std::string row = products ? product_row(name) : customer_row(name);
        GuardedStatus s;
        if (!guarded("klinsert", s, [&](klstatus& st) {
                return klinsert(instance_, "CHAR", &st, table, "", row.data());
            }))
            return;
        if (s.value.count != 1) fail("klinsert count " + std::to_string(s.value.count));
        inserted[table].insert(name);
    }

    // A second instance of this thread on the same connection, connected
    // and disconnected in turn.
    void instance_step() {
        GuardedStatus s;
        if (extra_instance_ == 0) {
            kl_long number = 0;
            if (!guarded("klconnect", s, [&](klstatus& st) {
                    return klconnect(environment_.c_str(), "", &st, test_user().c_str(), "",
                                     &number);
                }))
                return;
            if (number == instance_ || !take_number(instance_holder, number, t_))
                fail("instance " + std::to_string(number) + " handed out twice");
            extra_instance_ = number;
            return;
        }
        if (extra_instance_ < max_number)
            instance_holder[extra_instance_].store(-1, std::memory_order_relaxed);
        if (!guarded("kldisconnect", s,
                     [&](klstatus& st) { return kldisconnect(extra_instance_, "", &st); })) {
            if (!take_number(instance_holder, extra_instance_, t_))
                fail("instance handed out before it was disconnected");
            return;
        }
        extra_instance_ = 0;
    }

    // The calls outside the guard, in turn; each answers from local
    // knowledge and must not use the connection.
    void unguarded_call(int kind = -1) {
        if (kind < 0) kind = (unguarded_turn_++ + t_) % 7;
        klstatus cursor_status{};
        cursor_status.error = 11042;
        std::strcpy(cursor_status.buffer, "client cursor");
        const std::size_t begin = uses_so_far();
        Guarded<char[256]> text;
        std::uint32_t r = 0;
        std::string expected;
        const char* name = "";
        switch (kind) {
        case 0: {
            name = "klerror";
            ++klerror_calls;
            if (klerror(&cursor_status, "", text.value) != text.value) fail("klerror result");
            expected = "Cursor not open (client cursor)";
            break;
        }
        case 1: {
            name = "klerror";
            ++klerror_calls;
            klstatus st{};
            st.error = KL_ERR_SOCKET;
            st.info = 10054;
            if (klerror(&st, "", text.value) != text.value) fail("klerror result");
            expected = "Connection reset";
            break;
        }
        case 2:
            name = "apierror";
            ++klerror_calls;
            r = apierror(KL_MAKE_RESULT(KL_CAT_KELORA, 11042), &cursor_status, text.value);
            expected = "KELORA:  Cursor not open (client cursor)";
            break;
        case 3:
            name = "apierror";
            r = apierror(KL_MAKE_RESULT(KL_CAT_CLIENT, KL_ERR_CALL_IN_PROGRESS), nullptr,
                         text.value);
            expected = "Client (PC):  Another call in progress";
            break;
        case 4:
            name = "apierror";
            r = apierror(KL_MAKE_RESULT(KL_CAT_SOCKETS, 10060), nullptr, text.value);
            expected = "Sockets communication error #10060";
            break;
        case 5:
            name = "apiversion";
            ++version_calls;
            r = apiversion(text.value);
            expected = "1.6.25";
            break;
        case 6: {
            name = "apiinfo";
            std::uint16_t host_type = 0;
            r = apiinfo(0, "hosttype", nullptr, &host_type);
            if (host_type != 1) fail("apiinfo hosttype " + std::to_string(host_type));
            r |= apiinfo(0, "clientversion", nullptr, text.value);
            expected = "1.6.25";
            break;
        }
        }
        unguarded(name, begin);
        if (r != 0) fail(std::string(name) + " result " + std::to_string(r));
        if (std::string(text.value) != expected)
            fail(std::string(name) + " wrote \"" + std::string(text.value) + "\"");
        if (!text.guards_intact()) fail(std::string(name) + " wrote outside its area");
    }

    const int t_;
    const kl_long instance_;
    const std::string& environment_;
    const std::vector<std::string>& expected_;
    std::uint32_t thread_ = 0;
    kl_long cursor_ = 0;
    bool selected_ = false;
    int position_ = 0;
    kl_long extra_instance_ = 0;
    bool refused_ = false; // the last guarded call was refused
    int unguarded_turn_ = 0;
};

class ThreadsTest : public ServerTest {
  protected:
    void TearDown() override {
        platform::set_socket_observer(nullptr);
        os::set_env("KL_STRINGS", nullptr);
        ServerTest::TearDown();
    }

    // The names of the rows inserted by the threads.
    std::set<std::string> names_in(kl_long cursor, const char* table) {
        const klstatus sel = select(cursor, table, "name", "name LIKE 'thread %'");
        std::set<std::string> names;
        for (const std::string& record : fetch_all(cursor, sel.bufflen))
            names.insert(field_text(record, 0, record.size()));
        return names;
    }
};

TEST_P(ThreadsTest, FourThreadsShareOneConnection) {
    std::ofstream(dir / "messages.ini") << local_messages;
    std::ofstream(dir / "strings.ini") << "[strings]\n18002=Another call in progress\n";
    os::set_env("KL_STRINGS", (dir / "strings.ini").string().c_str());
    // Crossed answers would leave a thread waiting for bytes that went to
    // another: the wait limit turns that into a failed call.
    std::ofstream(environment, std::ios::app) << "timeout=10\n";
    const std::string trace_file = (dir / "trace.log").string();
    const kl_long instance = connect(("TRACE=" + trace_file).c_str());
    ASSERT_EQ(instance, 1);
    const ServerId server_instance = client_tables.instances.find(instance)->server_instance;

    // What each thread's selection holds, read before the threads start.
    std::vector<std::vector<std::string>> expected(thread_count);
    {
        const kl_long cursor = open_cursor(instance);
        for (int t = 0; t < thread_count; ++t) {
            const klstatus sel =
                select(cursor, "orders", selection_columns, selection_criteria(t).c_str());
            ASSERT_EQ(sel.bufflen, record_length);
            expected[static_cast<std::size_t>(t)] = fetch_all(cursor, record_length);
            ASSERT_EQ(expected[static_cast<std::size_t>(t)].size(), rows_per_selection);
        }
        klstatus st{};
        ASSERT_EQ(klclosecursor(cursor, "", &st), 0u);
    }
    for (int n = 0; n < max_number; ++n) {
        cursor_holder[n] = -1;
        instance_holder[n] = n == instance ? -2 : -1;
    }

    std::vector<Worker> workers;
    workers.reserve(thread_count);
    for (int t = 0; t < thread_count; ++t)
        workers.emplace_back(t, instance, environment, expected[static_cast<std::size_t>(t)]);
    next_use = 0;
    platform::set_socket_observer(record_socket_use);
    ::testing::internal::CaptureStderr(); // apiversion's boxes
    {
        std::latch start(thread_count);
        std::vector<std::thread> threads;
        for (Worker& w : workers)
            threads.emplace_back([&w, &start] {
                start.arrive_and_wait();
                w.run();
            });
        for (std::thread& thread : threads)
            thread.join();
    }
    const std::string boxes = ::testing::internal::GetCapturedStderr();
    platform::set_socket_observer(nullptr);

    for (const Worker& w : workers) {
        for (const std::string& failure : w.failures)
            ADD_FAILURE() << failure;
        EXPECT_EQ(w.failure_count, 0) << "failures in all";
    }

    // Every send and receive was made by the thread holding the guard.
    const std::size_t used = next_use.load();
    ASSERT_LE(used, use_capacity);
    for (std::size_t i = 0; i < used; ++i)
        ASSERT_EQ(socket_uses[i].owner, socket_uses[i].thread) << "socket use " << i;

    // Each call's exchanges are one unbroken run; a refused call and a
    // call outside the guard made none.
    int refused = 0;
    for (const Worker& w : workers) {
        for (const CallRecord& c : w.calls) {
            std::vector<std::size_t> own;
            for (std::size_t i = c.begin; i < c.end && i < used; ++i)
                if (socket_uses[i].thread == c.thread) own.push_back(i);
            if (!c.guarded || c.refused) {
                EXPECT_TRUE(own.empty())
                    << c.name << (c.refused ? " refused" : "") << " used the connection";
                refused += c.refused;
                continue;
            }
            if (own.empty()) continue;
            for (std::size_t i = own.front(); i <= own.back(); ++i)
                ASSERT_EQ(socket_uses[i].thread, c.thread)
                    << c.name << ": another thread's exchange ran inside it";
        }
    }
    EXPECT_GT(refused, 0) << "the threads never met";

    // The tables hold the first instance alone, unchanged, and no cursor;
    // the connection is counted once.
    EXPECT_EQ(client_tables.cursors.used_count(), 0);
    EXPECT_EQ(client_tables.instances.used_count(), 1);
    ASSERT_NE(client_tables.instances.find(instance), nullptr);
    EXPECT_EQ(std::memcmp(client_tables.instances.find(instance)->server_instance.bytes,
                          server_instance.bytes, 4),
              0);
    ASSERT_NE(transport_state.na_instances.find(1), nullptr);
    EXPECT_EQ(transport_state.na_instances.find(1)->use_count, 1);

    // Exactly the rows whose inserts succeeded are in the tables.
    const kl_long cursor = open_cursor(instance);
    for (const char* table : {"products", "customers"}) {
        std::set<std::string> want;
        for (const Worker& w : workers)
            if (auto it = w.inserted.find(table); it != w.inserted.end())
                want.insert(it->second.begin(), it->second.end());
        EXPECT_FALSE(want.empty()) << table;
        EXPECT_EQ(names_in(cursor, table), want) << table;
    }

    // Nothing was lost from the trace log or the boxes.
    int klerror_calls = 0, version_calls = 0;
    for (const Worker& w : workers) {
        klerror_calls += w.klerror_calls;
        version_calls += w.version_calls;
    }
    auto count = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(read_file(trace_file), "\nFunction: klerror\n"), klerror_calls);
    EXPECT_EQ(count(boxes, "(Local and Remote Software Versions)"), version_calls);
}

INSTANTIATE_TEST_SUITE_P(Modes, ThreadsTest, ::testing::Values(ServerMode::little_endian),
                         mode_name);

} // namespace
} // namespace kl::test

// Four threads call the library at once on one connection: cursors,
// inserts (nested requests), instances and calls outside the one-call
// guard, trace log on.  A broken guard shows as a socket used by a thread
// not holding the owner word, a refused call (18002) that wrote the
// caller's area, a number handed out twice, lost trace lines, and races
// under ThreadSanitizer (its stage runs this test).
#include <atomic>
#include <chrono>
#include <latch>

#include "server_fixture.h"

namespace kl::test {
namespace {

constexpr int thread_count = 4, cycles = 15;

// Socket sends and receives made by a thread not holding the owner word
// (a broken guard, or a refused call or one outside the guard that used
// the connection), or inside a call after another thread's (the word
// handed over in the middle of a call).
std::atomic<int> foreign_uses{0};
std::atomic<std::uint32_t> last_user{0};
thread_local bool used_in_call = false; // cleared as each call starts
void check_socket_use() {
    const std::uint32_t me = platform::thread_identity();
    if (owner_word.load(std::memory_order_relaxed) != me ||
        (last_user.exchange(me, std::memory_order_relaxed) != me && used_in_call))
        foreign_uses.fetch_add(1, std::memory_order_relaxed);
    used_in_call = true;
}

// A value with guard bytes on both sides, so a write outside it shows.
constexpr unsigned char guard_byte = 0xA5;
template <class T> struct Guarded {
    unsigned char before[32];
    T value;
    unsigned char after[32];
    Guarded() { std::memset(static_cast<void*>(this), guard_byte, sizeof *this); }
    bool guards_intact() const {
        return std::ranges::count(before, guard_byte) + std::ranges::count(after, guard_byte) == 64;
    }
};

// Each thread selects orders 40t+1 .. 40t+30, four integers (16 bytes)
// each, fetched six at a time.
constexpr int rows_per_selection = 30, fetch_batch = 6, record_length = 16;
std::string selection_criteria(int t) {
    return "id > " + std::to_string(40 * t) + " AND id <= " + std::to_string(40 * t + 30);
}
constexpr const char* selection_columns = "id customer product quantity";

// Which thread holds each cursor and extra instance number (-1 none): a
// number handed out while another thread holds it is a corrupted table.
constexpr int max_number = 64;
std::atomic<int> cursor_holder[max_number], instance_holder[max_number];
bool take_number(std::atomic<int>* holders, kl_long number, int t) {
    int expected = -1;
    return number > 0 && number < max_number &&
           holders[number].compare_exchange_strong(expected, t, std::memory_order_relaxed);
}

struct Worker {
    const int t_;
    const kl_long instance_;
    const std::string& environment_;
    const std::vector<std::string>& expected_;

    // Cursor cycles (open, select, five fetches of six, close), with an
    // insert after every other of those calls and a second instance on
    // the same connection connected or disconnected after every tenth.
    void run() {
        unguarded_call(0); // every thread's first klerror at once
        for (int cycle = 0; cycle < cycles; ++cycle) {
            kl_long cursor = 0;
            guarded(true, "klopencursor", [&](klstatus& st) {
                const std::uint32_t r = klopencursor(instance_, "", &st, &cursor);
                if (r == KL_ERR_CALL_IN_PROGRESS && cursor != 0)
                    fail("a refused klopencursor handed out a number");
                return r;
            });
            if (!take_number(cursor_holder, cursor, t_))
                return fail("cursor " + std::to_string(cursor) + " handed out twice");
            const std::string criteria = selection_criteria(t_);
            guarded(true, "klselect", [&](klstatus& st) {
                const std::uint32_t r =
                    klselect(cursor, "", &st, "orders", selection_columns, criteria.c_str());
                if (r == 0 && (st.count != rows_per_selection || st.bufflen != record_length))
                    fail("klselect count " + std::to_string(st.count));
                return r;
            });
            for (int position = 0; position < rows_per_selection; position += fetch_batch)
                fetch(cursor, position);
            guarded(true, "klclosecursor", [&](klstatus& st) {
                cursor_holder[cursor].store(-1, std::memory_order_relaxed);
                const std::uint32_t r = klclosecursor(cursor, "", &st);
                if (r == KL_ERR_CALL_IN_PROGRESS && !take_number(cursor_holder, cursor, t_))
                    fail("cursor " + std::to_string(cursor) + " handed out before it was closed");
                return r;
            });
        }
        if (extra_instance_ != 0) instance_step();
    }

    std::vector<std::string> failures;
    int refused = 0, klerror_calls = 0, version_calls = 0;

    void fail(const std::string& what) {
        if (failures.size() < 10) failures.push_back("thread " + std::to_string(t_) + ": " + what);
    }

    // A guarded call, made again after each refusal (18002, which must
    // leave the status record as 18002 alone), with a call outside the
    // guard in between (so those run while another thread's call holds it)
    // and then a wait for the guard to be free (relaxed loads, which order
    // nothing).  After the cursor calls come the others (see run).
    template <class Call> void guarded(bool cursor_call, const char* name, Call call) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            Guarded<klstatus> s;
            used_in_call = false;
            const std::uint32_t r = call(s.value);
            if (!s.guards_intact()) fail(std::string(name) + " wrote outside the status record");
            if (r != KL_ERR_CALL_IN_PROGRESS) {
                if (r != 0)
                    fail(std::string(name) + " failed: " + std::to_string(r) + " " +
                         s.value.buffer);
                break;
            }
            ++refused;
            if (s.value.error != KL_ERR_CALL_IN_PROGRESS || s.value.warn != 0 ||
                s.value.info != 0 || s.value.buffer[0] != '\0')
                fail(std::string(name) + " refused with an unexpected status");
            unguarded_call();
            while (owner_word.load(std::memory_order_relaxed) != 0) {
                if (std::chrono::steady_clock::now() > deadline)
                    return fail("the guard stayed taken for 30 seconds");
                platform::yield_thread();
            }
        }
        if (!cursor_call) return;
        ++calls_;
        if (calls_ % 2 == t_ % 2) insert();
        if (calls_ % 10 == t_) instance_step();
        unguarded_call();
    }

    // A refused fetch writes nothing and does not move the cursor (the
    // next fetch's records show it); one that ran writes its records.
    void fetch(kl_long cursor, int position) {
        guarded(true, "klfetch", [&](klstatus& st) {
            Guarded<char[fetch_batch * record_length + 16]> records;
            const std::uint32_t r = klfetch(cursor, "", &st, fetch_batch, records.value);
            std::string want(sizeof records.value, static_cast<char>(guard_byte));
            for (int k = 0; r == 0 && k < fetch_batch; ++k)
                want.replace(k * record_length, record_length,
                             expected_[static_cast<std::size_t>(position + k)]);
            if (!records.guards_intact() ||
                std::string(records.value, sizeof records.value) != want)
                fail(std::string("klfetch") + (r == 0 ? "" : " refused") + " wrote wrong records");
            return r;
        });
    }

    // Inserts alternate the table, so each asks the catalogue for the row
    // length first (nested requests inside the one call).
    void insert() {
        const bool products = (calls_ / 2 + t_) % 2 == 0;
        const std::string name = "thread " + std::to_string(t_) + " row " + std::to_string(calls_);
        std::string row(products ? 126 : 80, ' ');
        if (products) {
            row.replace(32, 30, 30, '\0').replace(32, name.size(), name);
            row.replace(62, 3, "1.5").replace(94, 1, "7");
        } else {
            row.replace(32, name.size(), name).replace(56, 6, "Bergen").replace(72, 8, "20240101");
        }
        const char* table = products ? "products" : "customers";
        guarded(false, "klinsert", [&](klstatus& st) {
            return klinsert(instance_, "CHAR", &st, table, "", row.data());
        });
    }

    void instance_step() {
        if (extra_instance_ == 0) {
            guarded(false, "klconnect", [&](klstatus& st) {
                return klconnect(environment_.c_str(), "", &st, test_user().c_str(), "",
                                 &extra_instance_);
            });
            if (!take_number(instance_holder, extra_instance_, t_))
                fail("instance " + std::to_string(extra_instance_) + " handed out twice");
            return;
        }
        guarded(false, "kldisconnect", [&](klstatus& st) {
            instance_holder[extra_instance_].store(-1, std::memory_order_relaxed);
            const std::uint32_t r = kldisconnect(extra_instance_, "", &st);
            if (r == KL_ERR_CALL_IN_PROGRESS && !take_number(instance_holder, extra_instance_, t_))
                fail("instance handed out before it was disconnected");
            return r;
        });
        extra_instance_ = 0;
    }

    // The calls outside the guard, in turn: each answers from local
    // knowledge, in its area alone.
    void unguarded_call(int kind = -1) {
        static const char* const names[] = {"klerror", "apierror", "apiversion", "apiinfo"};
        if (kind < 0) kind = (unguarded_turn_++ + t_) % 4;
        klstatus cursor_status{.error = 11042, .buffer = "client cursor"};
        Guarded<char[256]> text;
        std::uint16_t host_type = 1;
        const std::uint32_t r =
            kind == 0   ? klerror(&cursor_status, "", text.value) != text.value
            : kind == 1 ? apierror(KL_MAKE_RESULT(KL_CAT_KELORA, 11042), &cursor_status, text.value)
            : kind == 2 ? apiversion(text.value)
                        : apiinfo(0, "hosttype", nullptr, &host_type) |
                              apiinfo(0, "clientversion", nullptr, text.value);
        const std::string expected = kind >= 2 ? KLSRV32_VERSION_TEXT
                                               : std::string(kind == 1 ? "KELORA:  " : "") +
                                                     "Cursor not open (client cursor)";
        klerror_calls += kind < 2;
        version_calls += kind == 2;
        if (r != 0 || host_type != 1 || std::string(text.value) != expected)
            fail(std::string(names[kind]) + " answered " + std::to_string(r) + " " + text.value);
        if (!text.guards_intact()) fail(std::string(names[kind]) + " wrote outside its area");
    }

    kl_long extra_instance_ = 0;
    int calls_ = 0, unguarded_turn_ = 0;
};

using ThreadsTest = ServerTest;

TEST_P(ThreadsTest, FourThreadsShareOneConnection) {
    write_file("messages.ini", "[ENVIRONMENT KLGLOBAL]\nKLMSG_11042=Cursor not open\n");
    // Crossed answers would leave a thread waiting for bytes that went to
    // another: the wait limit turns that into a failed call.
    std::ofstream(environment, std::ios::app) << "timeout=10\n";
    const std::string trace_file = (dir / "trace.log").string();
    const kl_long instance = connect(("TRACE=" + trace_file).c_str());
    ASSERT_EQ(instance, 1);

    // What each thread's selection holds, read before the threads start.
    std::vector<std::vector<std::string>> expected(thread_count);
    std::vector<Worker> workers;
    const kl_long cursor = open_cursor(instance);
    for (int t = 0; t < thread_count; ++t) {
        select(cursor, "orders", selection_columns, selection_criteria(t).c_str());
        expected[t] = fetch_all(cursor, record_length);
        ASSERT_EQ(expected[t].size(), rows_per_selection);
        workers.push_back({t, instance, environment, expected[t]});
    }
    klstatus st{};
    ASSERT_EQ(klclosecursor(cursor, "", &st), 0u);
    for (int n = 0; n < max_number; ++n) {
        cursor_holder[n] = -1;
        instance_holder[n] = n == instance ? -2 : -1;
    }

    foreign_uses = 0;
    platform::set_socket_observer(check_socket_use);
    ::testing::internal::CaptureStderr(); // apiversion's boxes
    {
        std::latch start(thread_count);
        std::vector<std::jthread> threads;
        for (Worker& w : workers)
            threads.emplace_back([&w, &start] {
                start.arrive_and_wait();
                w.run();
            });
    }
    const std::string boxes = ::testing::internal::GetCapturedStderr();
    platform::set_socket_observer(nullptr);
    int refused = 0, klerror_calls = 0, version_calls = 0;
    for (const Worker& w : workers) {
        for (const std::string& failure : w.failures)
            ADD_FAILURE() << failure;
        refused += w.refused;
        klerror_calls += w.klerror_calls;
        version_calls += w.version_calls;
    }
    // Every send and receive was made by the thread holding the guard.
    EXPECT_EQ(foreign_uses.load(), 0);
    EXPECT_GT(refused, 0) << "the threads never met";

    // The tables hold the first instance alone and no cursor; the
    // connection is counted once.
    EXPECT_EQ(client_tables.cursors.used_count(), 0);
    EXPECT_EQ(client_tables.instances.used_count(), 1);
    ASSERT_NE(transport_state.na_instances.find(1), nullptr);
    EXPECT_EQ(transport_state.na_instances.find(1)->use_count, 1);

    // Nothing was lost from the trace log or the boxes.
    const auto count = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(read_file(trace_file), "\nFunction: klerror\n"), klerror_calls);
    EXPECT_EQ(count(boxes, "(Local and Remote Software Versions)"), version_calls);
}

KL_SERVER_MODES(ThreadsTest, ServerMode::little_endian);

} // namespace
} // namespace kl::test

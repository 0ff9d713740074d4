// Every exported call against the scripted peer, with each of its socket
// operations failing in turn in each way a socket can fail, and each of its
// allocations (the seam's and operator new's) failing in turn.  Every case
// ends in the call's documented error, writes only inside the caller's
// areas, leaves no descriptor or block behind and the library fit for the
// next call.

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <tuple>

#include "library_fixture.h"

// operator new that fails on request, on the calling thread only (not the peer's).

namespace {

thread_local int new_countdown = -1; // >= 0: allocations left before one fails
thread_local int new_refused = 0;

void* allocate(std::size_t size, bool nothrow) {
    if (new_countdown == 0) {
        new_countdown = -1; // one allocation fails; later ones succeed
        ++new_refused;
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    if (new_countdown > 0) --new_countdown;
    void* block = std::malloc(size > 0 ? size : 1);
    if (block == nullptr && !nothrow) throw std::bad_alloc();
    return block;
}

} // namespace

// clang-format off
void* operator new(std::size_t size) { return allocate(size, false); }
void* operator new[](std::size_t size) { return allocate(size, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, true); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, true); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
// clang-format on

namespace kl::test {
namespace {

using platform::SocketFault;
using platform::SocketOp;

// The areas a call is given: from malloc (unseen by the operator new
// countdown), filled with a pattern, with guard bytes on both sides.
class Areas {
  public:
    Areas() { blocks_.reserve(8); }
    ~Areas() {
        for (const auto& [base, size] : blocks_)
            std::free(base);
    }

    char* area(std::size_t size) {
        auto* base = static_cast<unsigned char*>(std::malloc(size + 2 * guard));
        if (base == nullptr || blocks_.size() == blocks_.capacity()) std::abort();
        std::memset(base, guard_byte, size + 2 * guard);
        std::memset(base + guard, 0x5A, size);
        blocks_.emplace_back(base, size);
        return reinterpret_cast<char*>(base + guard);
    }

    bool intact() const {
        for (const auto& [base, size] : blocks_)
            for (std::size_t k = 0; k < guard; ++k)
                if (base[k] != guard_byte || base[guard + size + k] != guard_byte) return false;
        return true;
    }

  private:
    static constexpr std::size_t guard = 64;
    static constexpr unsigned char guard_byte = 0xA5;
    std::vector<std::pair<unsigned char*, std::size_t>> blocks_;
};

// A call's result code and its status's error and info.
using Outcome = std::tuple<std::uint32_t, kl_long, kl_long>;

Outcome failed(kl_long error, kl_long info) {
    return {static_cast<std::uint32_t>(error), error, info};
}

// What exists before the call under test.
enum class Setup { none, instance, cursor, selected };

struct Conversation {
    std::string environment;
    kl_long instance = 0, cursor = 0;
    Areas areas;
};

// every_receive_short: every receive of the call asks for one byte.
enum class Kind { none, socket, every_receive_short, seam_allocation, new_allocation };

struct Injected {
    Kind kind = Kind::none;
    SocketOp op = SocketOp::send;
    int n = 0; // socket: the n-th operation of its kind; allocations: those that succeed first
    SocketFault fault = SocketFault::error;
};

// The outcome a case must have, and whether a server connection is left.
struct Expected {
    Outcome outcome;
    bool connected = true;
};

struct CallCase {
    const char* name;
    Setup setup;
    std::vector<Step> answers;                            // none for a call that makes no exchange
    std::uint32_t (*call)(Conversation& c, klstatus* st); // klerror: 0 for the expected text
    Outcome clean = {};
    bool connected_after = true; // after a clean run
    // A socket fault's outcome where expectation()'s rule does not hold.
    std::optional<Expected> (*on_socket_fault)(const Injected&) = nullptr;
    kl_long other_allocation_error = 0; // documented besides 10021
};

Answer status(const StatusRecord& record = {}, const Bytes& data = {}) {
    return status_answer(record, false, data);
}

// One request answered with the given answers.
std::vector<Step> one(std::vector<Answer> answers) {
    return {{std::move(answers)}};
}
std::vector<Step> one(const StatusRecord& record = {}, const Bytes& data = {}) {
    return one({status(record, data)});
}

// n request records, the last answered with the given answers.
std::vector<Step> after_records(std::size_t n, std::vector<Answer> answers) {
    std::vector<Step> steps(n);
    steps.back().answers = std::move(answers);
    return steps;
}

// A record of 92 bytes the call does not read as a status, then data.
Answer data_record(const Bytes& data) {
    return {.payload = join({encode_status(StatusRecord{}.error(999).count(-1), false), data})};
}

// Two answers of one 16-byte record each.
std::vector<Step> two_records() {
    const StatusRecord record = StatusRecord{}.count(1).bufflen(16);
    return one({status(record, counting_bytes(16)), status(record, counting_bytes(16, 16))});
}

template <std::size_t N> kl_long* items(Conversation& c, const kl_long (&values)[N]) {
    auto* area = reinterpret_cast<kl_long*>(c.areas.area(sizeof values));
    std::memcpy(area, values, sizeof values);
    return area;
}

// A receive cut short only makes the reader join more pieces.
bool cut_receive(const Injected& f) {
    return f.op == SocketOp::recv && f.fault == SocketFault::short_transfer;
}

// The dispatcher's request and reply are one send and one receive: cut
// short, or the reply cut off by a close, they fail with 18050.
std::optional<Expected> first_connect_faults(const Injected& f) {
    const bool dispatcher = (f.op == SocketOp::send || f.op == SocketOp::recv) && f.n == 1;
    if (dispatcher &&
        (f.fault == SocketFault::short_transfer || f.fault == SocketFault::peer_closed))
        return Expected{failed(KL_ERR_DISPATCH_SHORT, 0), false};
    return std::nullopt;
}

// The clean-up of a refused connect reports nothing of its own: a close
// that fails there leaves the server's error (and closes all the same).
std::optional<Expected> refused_connect_faults(const Injected& f) {
    if (f.op == SocketOp::close && f.n == 2) return Expected{failed(2001, 0), false};
    return first_connect_faults(f);
}

// A connect that shares the connection opens a socket it then closes
// unused: a failed open fails the call, a failed close does not, and the
// shared connection stays either way.
std::optional<Expected> shared_connect_faults(const Injected& f) {
    if (f.op == SocketOp::open)
        return Expected{failed(KL_ERR_SOCKET, platform::wsa_enetdown), true};
    if (f.op == SocketOp::close) return Expected{{}, true};
    return std::nullopt;
}

// A failed transfer a call reports as this result and error (klerror keeps
// the status and its own message; the host version: 18065 of category 1).
template <std::uint32_t result, kl_long error>
std::optional<Expected> transfer_fails(const Injected& f) {
    if (cut_receive(f)) return std::nullopt;
    return Expected{{result, error, 0}, false};
}

std::uint32_t connect_call(Conversation& c, klstatus* st) {
    return klconnect(c.environment.c_str(), "", st, "scott", "tiger", items(c, {0}));
}

std::uint32_t error_text(klstatus* st, kl_long error, char* message, const char* expected) {
    st->error = error;
    return std::strcmp(klerror(st, "", message), expected) == 0 ? 0 : 1;
}

// A row's call: it takes its areas from c.areas; st is a zeroed status area.
#define CALL(expression)                                                                           \
    []([[maybe_unused]] Conversation& c, [[maybe_unused]] klstatus* st) -> std::uint32_t {         \
        return expression;                                                                         \
    }

// Name, set-up, answers, call, then where they differ from the defaults
// the clean outcome, connected_after, on_socket_fault, other_allocation_error.
// clang-format off
const CallCase calls[] = {
    {"klconnect (a new connection)", Setup::none, one({}, InstanceTest::instance_id), connect_call,
     {}, true, first_connect_faults, KL_ERR_NO_TABLES},
    {"klconnect (refused by the server)", Setup::none, one(StatusRecord{}.error(2001)), connect_call,
     failed(2001, 0), false, refused_connect_faults, KL_ERR_NO_TABLES},
    {"klconnect (sharing the connection)", Setup::cursor, one({}, {5, 6, 7, 8}), connect_call,
     {}, true, shared_connect_faults},
    {"kldisconnect", Setup::cursor, one(), CALL(kldisconnect(c.instance, "", st)), {}, false},
    {"klopencursor", Setup::instance, one({}, {0xD1, 0xD2, 0xD3, 0xD4}),
     CALL(klopencursor(c.instance, "", st, items(c, {0})))},
    {"klclosecursor", Setup::cursor, one(), CALL(klclosecursor(c.cursor, "", st))},
    {"klversion", Setup::instance, one({status(StatusRecord{}.count(2)), data_record(counting_bytes(2 * 104))}),
     CALL(klversion(c.instance, "", st, "PROD", 0, reinterpret_cast<klversion_record*>(c.areas.area(2 * 104))))},
    {"klqualify", Setup::cursor, one(StatusRecord{}.valuesize(5)),
     CALL(klqualify(c.cursor, "", st, "own", "orders", "id", "id > 3"))},
    {"klselect", Setup::cursor, one(StatusRecord{}.bufflen(16).valuesize(8)),
     CALL(klselect(c.cursor, "", st, "orders", "*", "id > 3"))},
    {"klfetch", Setup::selected, two_records(), CALL(klfetch(c.cursor, "", st, 2, c.areas.area(32)))},
    {"klfetchkeys", Setup::selected, one(StatusRecord{}.count(2), counting_bytes(8)),
     CALL(klfetchkeys(c.cursor, "", st, 2, c.areas.area(8)))},
    {"klerror (a local text)", Setup::none, {}, CALL(error_text(st, 20001, c.areas.area(256), "local text")),
     {0, 20001, 0}, false},
    {"klerror (the server's text)", Setup::instance, one(StatusRecord{}.error(2001).info(9), text_bytes("server text")),
     CALL(error_text(st, 20010, c.areas.area(256), "server text")), {0, 2001, 9}, true, transfer_fails<1, 20010>},
    {"apierror", Setup::none, {},
     [](Conversation& c, klstatus* st) {
         st->error = 20001;
         return apierror(KL_MAKE_RESULT(KL_CAT_KELORA, 20001), st, c.areas.area(256));
     },
     {0, 20001, 0}, false},
    {"apiinfo (a local item)", Setup::instance, {}, CALL(apiinfo(0, "hosttype", nullptr, c.areas.area(2)))},
    {"apiinfo (the host version)", Setup::instance, one({Answer{.payload = text_bytes("01.02.03", 8)}}),
     CALL(apiinfo(0, "hostversion", nullptr, c.areas.area(8))), {}, true,
     transfer_fails<KL_MAKE_RESULT(KL_CAT_CLIENT, KL_ERR_SOCKET), 0>},
    {"apiversion", Setup::none, {}, CALL(apiversion(c.areas.area(7))), {}, false},
    {"klupdate", Setup::selected, one(), CALL(klupdate(c.cursor, "", st, "orders", "a,b", c.areas.area(16)))},
    {"kldelete", Setup::selected, one(), CALL(kldelete(c.cursor, "", st, "orders"))},
    {"kllist", Setup::cursor, two_records(), CALL(kllist(c.cursor, "", st, "orders", "*", "", 2, c.areas.area(32)))},
    {"klform", Setup::cursor, one(StatusRecord{}.bufflen(16), counting_bytes(16)),
     CALL(klform(c.cursor, "", st, "orders", "*", 1, c.areas.area(16)))},
    // The header and two input records; the status and two output records.
    {"klexternal", Setup::instance,
     after_records(3, {status(), data_record(counting_bytes(1955)), data_record(counting_bytes(545))}),
     CALL(klexternal(c.instance, "", st, 0, "lib", "routine", c.areas.area(3000), 3000, c.areas.area(2500), 2500))},
    {"klcommand", Setup::instance, after_records(2, {status()}),
     CALL(klcommand(c.instance, "", st, 0, c.areas.area(100), 100, c.areas.area(16), 16))},
    {"klgetinfo", Setup::instance, one(StatusRecord{}.count(1), counting_bytes(24)),
     [](Conversation& c, klstatus* st) {
         char* table = c.areas.area(32);
         std::memcpy(table, "orders                          ", 32);
         return klgetinfo(c.instance, "", st, items(c, {202, 0}), table, items(c, {305, 306, 0}), c.areas.area(24));
     }},
    {"klgetindexinfo", Setup::instance, one(StatusRecord{}.count(1), counting_bytes(20)),
     CALL(klgetindexinfo(c.instance, "", st, "orders", c.areas.area(20)))},
    // The catalogue's two columns (400, 4 bytes, 1 and 201, 8, 1) for the row length; the insert.
    {"klinsert", Setup::instance, {{{status(StatusRecord{}.count(2),
     hex("90 01 00 00 04 00 00 00 01 00 00 00 C9 00 00 00 08 00 00 00 01 00 00 00"))}}, {{status()}}},
     CALL(klinsert(c.instance, "", st, "orders", "", c.areas.area(12)))},
    {"kldescribe", Setup::selected, one({status(StatusRecord{}.count(2)), data_record(counting_bytes(440))}),
     CALL(kldescribe(c.cursor, "", st, 2, c.areas.area(440)))},
    {"klbind", Setup::selected, after_records(2, {status()}), CALL(klbind(c.cursor, "", st, 2, c.areas.area(440)))},
    {"klassignvalues", Setup::selected, one(),
     CALL(klassignvalues(c.cursor, "", st, "label", 2, c.areas.area(16)))},
    {"kljoin", Setup::cursor, one(StatusRecord{}.valuesize(3)),
     CALL(kljoin(c.cursor, "", st, "orders", "customer", 0, "customers", "id"))},
    {"klcalc", Setup::cursor, one(StatusRecord{}.bufflen(8), counting_bytes(8)),
     CALL(klcalc(c.cursor, "", st, "orders", "quantity", c.areas.area(8)))},
    {"klexport", Setup::cursor, one(), CALL(klexport(c.cursor, "", st, "PROD", "orders.txt"))},
};
// clang-format on

// The faults each kind of socket operation meets.
std::vector<SocketFault> faults_for(SocketOp op) {
    using enum SocketFault;
    if (op == SocketOp::send) return {error, reset, short_transfer};
    if (op == SocketOp::recv) return {error, reset, peer_closed, short_transfer};
    return {error};
}

std::string describe(const Injected& f) {
    const char* ops[] = {"open", "connect", "set option", "send", "receive", "close"};
    const char* faults[] = {"error", "reset", "peer closed", "short"};
    const char* kinds[] = {"no fault", "", "every receive cut to one byte",
                           "seam allocation fails after ", "operator new fails after "};
    const std::string text = kinds[int(f.kind)];
    if (f.kind == Kind::socket)
        return text + faults[int(f.fault)] + " at " + ops[int(f.op)] + " #" + std::to_string(f.n);
    return f.kind >= Kind::seam_allocation ? text + std::to_string(f.n) : text;
}

struct FaultInjectionTest : WindirTest {
    int baseline = 0;
    std::unique_ptr<TestPeer> peer;
    std::array<int, platform::socket_op_kinds> made{}; // socket operations of the last call

    void SetUp() override {
        WindirTest::SetUp();
        write_file("talvern.ini",
                   "[Kelora]\nKLGlobal=" + write_file("messages.ini", "[ENVIRONMENT KLGLOBAL]\n"
                                                                      "KLMSG_20001=local text\n"));
        baseline = open_descriptor_count();
    }

    // A limit on every wait: a case left waiting for an answer fails, not hangs.
    std::string write_environment() {
        return write_environment_file("", peer_entries(*peer) + "timeout=10\n");
    }

    kl_long connect(const std::string& environment) {
        peer->script(one({}, InstanceTest::instance_id));
        klstatus st{};
        kl_long instance = 0;
        EXPECT_EQ(klconnect(environment.c_str(), "", &st, "scott", "", &instance), 0u)
            << st.error << " " << st.info;
        return instance;
    }

    void set_up(const CallCase& call, Conversation& c) {
        if (call.setup == Setup::none) return;
        c.instance = connect(c.environment);
        if (call.setup == Setup::instance) return;
        peer->script(one({}, CursorTest::cursor_id));
        klstatus st{};
        ASSERT_EQ(klopencursor(c.instance, "", &st, &c.cursor), 0u);
        if (call.setup == Setup::cursor) return;
        peer->script(one(StatusRecord{}.bufflen(16).valuesize(8)));
        ASSERT_EQ(klselect(c.cursor, "", &st, "orders", "*", ""), 0u);
    }

    // Runs the call once under the fault; returns whether the fault took effect.
    bool run(const CallCase& call, const Injected& f) {
        SCOPED_TRACE(describe(f));
        reset_process_state();
        peer = std::make_unique<TestPeer>();
        Conversation c;
        c.environment = write_environment();
        set_up(call, c);
        if (::testing::Test::HasFatalFailure()) return false;
        if (!call.answers.empty()) peer->script(call.answers);

        // Armed only around the call itself.
        const int faults_before = platform::injected_faults();
        const int refused_before = new_refused;
        platform::inject_socket_fault(f.op, f.kind == Kind::socket ? f.n : 0, f.fault);
        if (f.kind == Kind::seam_allocation) platform::set_allocation_failures_after(f.n);
        if (f.kind == Kind::new_allocation) new_countdown = f.n;
        if (f.kind == Kind::every_receive_short) platform::set_short_receive_every(1);
        auto* st = new (c.areas.area(sizeof(klstatus))) klstatus{};
        const std::uint32_t result = call.call(c, st);
        const Outcome outcome{result, st->error, st->info};
        new_countdown = -1;
        platform::set_allocation_failures_after(-1);
        platform::set_short_receive_every(0);
        const bool fired = f.kind == Kind::every_receive_short ||
                           platform::injected_faults() != faults_before ||
                           new_refused != refused_before;
        for (int k = 0; k < platform::socket_op_kinds; ++k)
            made[k] = platform::socket_operations(static_cast<SocketOp>(k));
        platform::inject_socket_fault(SocketOp::send, 0, SocketFault::error);

        EXPECT_TRUE(c.areas.intact()) << "a write outside the caller's areas";
        const Expected expected = expectation(call, f, fired, c);
        if (fired && f.kind >= Kind::seam_allocation) {
            // The info is the system error number of the moment: not compared.
            const auto number = static_cast<kl_long>(KL_RESULT_NUMBER(result));
            EXPECT_TRUE(number == KL_ERR_NO_MEMORY ||
                        (number != 0 && number == call.other_allocation_error))
                << ::testing::PrintToString(outcome);
        } else {
            EXPECT_EQ(outcome, expected.outcome);
        }
        // The clean run made a first operation of the kind; later ones vary with timing.
        EXPECT_TRUE(f.kind != Kind::socket || fired || f.n != 1) << "the fault never took effect";
        // A transport failure frees no block: the caller's later close or disconnect does.
        if (KL_RESULT_NUMBER(result) == KL_ERR_SOCKET) {
            EXPECT_TRUE(c.instance == 0 || client_tables.instances.find(c.instance) != nullptr);
            EXPECT_TRUE(c.cursor == 0 || client_tables.cursors.find(c.cursor) != nullptr);
        }
        check_next_calls(c, expected.connected, made[static_cast<int>(SocketOp::send)] == 0);

        peer.reset();
        reset_process_state();
#if !defined(_WIN32) // there counting probes every handle value: done once, at the end
        EXPECT_EQ(open_descriptor_count(), baseline) << "a descriptor left open";
#endif
        return fired;
    }

    Expected expectation(const CallCase& call, const Injected& f, bool fired,
                         const Conversation& c) const {
        const Expected clean{call.clean, call.connected_after};
        if (!fired) return clean;
        if (f.kind == Kind::every_receive_short) // as the first receive cut short
            return expectation(call, {Kind::socket, SocketOp::recv, 1, SocketFault::short_transfer},
                               fired, c);
        if (f.kind == Kind::socket) {
            if (const auto special = call.on_socket_fault ? call.on_socket_fault(f) : std::nullopt)
                return *special;
            // The option is a speed-up whose failure is not reported.
            if (cut_receive(f) || f.op == SocketOp::set_option) return clean;
            // The socket error a fault reports (a short send sets none).
            const kl_long info[] = {platform::wsa_enetdown, platform::wsa_econnreset,
                                    platform::wsa_econnreset, 0};
            return {failed(KL_ERR_SOCKET, info[int(f.fault)]), false};
        }
        // An allocation failure leaves the connection as it was (the
        // outcome is checked by run).
        return {{}, c.instance != 0};
    }

    // Blocks of a lost connection fail with 18011 and are freed by their close,
    // live ones close with answers of their own, a new connection can be made.
    void check_next_calls(Conversation& c, bool expected_connected, bool sent_nothing) {
        const bool connected = live_connection() != 0;
        EXPECT_EQ(connected, expected_connected);
        klstatus st{};
        if (!connected) {
            kl_long cursor = 0;
            if (c.instance != 0 && client_tables.instances.find(c.instance) != nullptr) {
                EXPECT_EQ(klopencursor(c.instance, "", &st, &cursor), KL_ERR_NOT_CONNECTED);
            }
            // A new server for the new connection: the old one may still
            // be about to accept the old connection and read its request.
            peer = std::make_unique<TestPeer>();
            c.environment = write_environment();
        } else if (sent_nothing) {
            peer->clear_script(); // the call's answers, never asked for
        }

        // A live block closes over the connection with an answer of its own
        // (kldisconnect reports no info).
        const auto close_all = [&](auto& table, auto close, kl_long info) {
            for (std::int32_t n = 1; n <= table.highest_slot(); ++n) {
                const auto* block = table.find(n);
                if (block == nullptr) continue;
                const bool live = block->connection == live_connection() && live_connection() != 0;
                if (live) peer->script(one(StatusRecord{}.info(info)));
                klstatus st{};
                EXPECT_EQ(close(n, "", &st), live ? 0u : KL_ERR_NOT_CONNECTED);
                EXPECT_TRUE(!live || st.info == info) << "the connection is out of step";
            }
        };
        close_all(client_tables.cursors, klclosecursor, 4242);
        close_all(client_tables.instances, kldisconnect, 0);
        if (!connected) {
            const kl_long again = connect(c.environment);
            peer->script(one());
            EXPECT_EQ(kldisconnect(again, "", &st), 0u);
        }
        EXPECT_EQ(client_tables.cursors.used_count(), 0);
        EXPECT_EQ(client_tables.instances.used_count(), 0);
        EXPECT_EQ(transport_state.connected_flag, 0);
        EXPECT_EQ(transport_state.na_instances.find(1), nullptr);
    }
};

TEST_F(FaultInjectionTest, EveryCallThroughEveryFault) {
    int refusals[5] = {}; // by kind of allocation
    for (const CallCase& call : calls) {
        SCOPED_TRACE(call.name);
        run(call, {});
        const auto operations = made;
        if (operations[static_cast<int>(SocketOp::recv)] > 0)
            run(call, {.kind = Kind::every_receive_short});
        for (int k = 0; k < platform::socket_op_kinds; ++k) {
            const auto op = static_cast<SocketOp>(k);
            for (int n = 1; n <= operations[k]; ++n)
                for (SocketFault fault : faults_for(op))
                    run(call, {.kind = Kind::socket, .op = op, .n = n, .fault = fault});
        }
        // Each run lets one more allocation succeed, until none is refused.
        for (const auto kind : {Kind::seam_allocation, Kind::new_allocation}) {
            int n = 0;
            while (n < 100 && run(call, {.kind = kind, .n = n}))
                ++n;
            EXPECT_LT(n, 100) << "more than 100 allocations";
            refusals[int(kind)] += n;
        }
    }
    EXPECT_GT(refusals[int(Kind::seam_allocation)], 0) << "the seam never refused";
    EXPECT_GT(refusals[int(Kind::new_allocation)], 0) << "operator new never refused";
    EXPECT_EQ(open_descriptor_count(), baseline) << "a descriptor left open";
}

} // namespace
} // namespace kl::test

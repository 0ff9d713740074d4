// Faults injected into whole conversations.  Every exported call runs
// against the scripted peer after the set-up it needs (a connection, a
// cursor, a selection); then each of its socket operations fails in turn,
// in each way a socket can fail, and each of its allocations fails in turn
// (the seam's, and the standard library's through operator new).  Every
// case must end in the call's documented error, write nothing outside the
// caller's areas, leave no descriptor or block behind, and leave the
// library fit for the next call: after a transport failure the old blocks
// fail with 18011 and a new klconnect works; otherwise the same connection
// carries the next exchange with an answer of its own.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <ostream>

#include "library_fixture.h"

// ---- operator new that fails on request --------------------------------------
// Armed only on the calling thread, so the peer's threads never see it.

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

void* operator new(std::size_t size) {
    return allocate(size, false);
}
void* operator new[](std::size_t size) {
    return allocate(size, false);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, true);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, true);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

namespace kl::test {
namespace {

using platform::SocketFault;
using platform::SocketOp;

// ---- caller areas ---------------------------------------------------------------

// The areas a call is given: each from malloc (so the operator new
// countdown never counts them), filled with a pattern, with guard bytes
// on both sides that must be intact after the call.
class Areas {
  public:
    Areas() = default;
    Areas(const Areas&) = delete;
    Areas& operator=(const Areas&) = delete;
    ~Areas() {
        for (std::size_t i = 0; i < count_; ++i)
            std::free(blocks_[i].base);
    }

    char* area(std::size_t size) {
        if (count_ == blocks_.size()) std::abort();
        auto* base = static_cast<unsigned char*>(std::malloc(size + 2 * guard));
        if (base == nullptr) std::abort();
        std::memset(base, guard_byte, guard);
        std::memset(base + guard, fill_byte, size);
        std::memset(base + guard + size, guard_byte, guard);
        blocks_[count_++] = {base, size};
        return reinterpret_cast<char*>(base + guard);
    }

    // A status record holding the given error (and nothing else).
    klstatus* status(kl_long error = 0) {
        auto* st = reinterpret_cast<klstatus*>(area(sizeof(klstatus)));
        *st = klstatus{};
        st->error = error;
        return st;
    }

    bool intact() const {
        for (std::size_t i = 0; i < count_; ++i) {
            const Block& b = blocks_[i];
            for (std::size_t k = 0; k < guard; ++k) {
                if (b.base[k] != guard_byte || b.base[guard + b.size + k] != guard_byte)
                    return false;
            }
        }
        return true;
    }

  private:
    static constexpr std::size_t guard = 64;
    static constexpr unsigned char guard_byte = 0xA5;
    static constexpr unsigned char fill_byte = 0x5A;
    struct Block {
        unsigned char* base = nullptr;
        std::size_t size = 0;
    };
    std::array<Block, 8> blocks_{};
    std::size_t count_ = 0;
};

// ---- the table ----------------------------------------------------------------------

// What a call returned: its result code and, when it has a status, the
// status's error and info (calls without one report the result's number).
struct Outcome {
    std::uint32_t result = 0;
    kl_long error = 0;
    kl_long info = 0;
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
    *out << "{result 0x" << std::hex << o.result << std::dec << ", error " << o.error << ", info "
         << o.info << "}";
}

Outcome of_status(std::uint32_t result, const klstatus* st) {
    return {result, st->error, st->info};
}

Outcome of_result(std::uint32_t result) {
    return {result, static_cast<kl_long>(KL_RESULT_NUMBER(result)), 0};
}

Outcome failed(kl_long error, kl_long info) {
    return {static_cast<std::uint32_t>(error), error, info};
}

// What exists before the call under test.
enum class Setup { none, instance, cursor, selected };

struct Conversation {
    std::string environment;
    kl_long instance = 0;
    kl_long cursor = 0;
    Areas areas;
};

// The fault of one case.
struct Injected {
    enum class Kind {
        none,
        socket,
        every_receive_short, // every receive of the call asks for one byte
        seam_allocation,
        new_allocation
    } kind = Kind::none;
    SocketOp op = SocketOp::send;
    int n = 0; // socket: the n-th operation of its kind; allocations: those that succeed first
    SocketFault fault = SocketFault::error;
};

// The outcome a case must have, and whether a server connection is there
// after it.
struct Expected {
    Outcome outcome;
    bool connected = true;
};

struct CallCase {
    const char* name;
    Setup setup;
    // The call's answers; null for a call that makes no exchange.
    std::vector<Step> (*answers)();
    // Makes the call's areas (from c.areas) and makes the call.
    Outcome (*invoke)(Conversation& c);
    Outcome clean = {};
    bool connected_after = true; // after a clean run
    // The outcome of a socket fault where the rule below does not say it
    // (nullopt: the rule holds).
    std::optional<Expected> (*on_socket_fault)(const Injected&) = nullptr;
    kl_long other_allocation_error = 0; // documented besides 10021
};

constexpr kl_long marker = 4242; // info of the answers the checks afterwards get

const Bytes server_instance = {0x11, 0x22, 0x33, 0x44};
const Bytes server_cursor = {0xC1, 0xC2, 0xC3, 0xC4};

Answer status(const StatusRecord& record = {}, const Bytes& data = {}) {
    return status_answer(record, false, data);
}

std::vector<Step> one(const StatusRecord& record = {}, const Bytes& data = {}) {
    return {{{status(record, data)}}};
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

kl_long* number_area(Conversation& c) {
    return reinterpret_cast<kl_long*>(c.areas.area(sizeof(kl_long)));
}

// The receive of the dispatcher's reply and the send of its request are
// one call each; a short one fails with 18050, as does a reply cut off by
// a closed connection.
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

// A receive cut short only makes the reader join more pieces.
bool cut_receive(const Injected& f) {
    return f.op == SocketOp::recv && f.fault == SocketFault::short_transfer;
}

// klerror reports a failed transfer only in the trace: the status stays
// as it was, and the message is the call's own text.
std::optional<Expected> server_message_faults(const Injected& f) {
    if (cut_receive(f)) return std::nullopt;
    return Expected{{1, 20010, 0}, false};
}

// The host version calls report a failed transfer as 18065 of category 1.
std::optional<Expected> host_version_faults(const Injected& f) {
    if (cut_receive(f)) return std::nullopt;
    return Expected{of_result(KL_MAKE_RESULT(KL_CAT_CLIENT, KL_ERR_SOCKET)), false};
}

Outcome connect_call(Conversation& c) {
    klstatus* st = c.areas.status();
    kl_long* number = number_area(c);
    const std::uint32_t r = klconnect(c.environment.c_str(), "", st, "scott", "tiger", number);
    return of_status(r, st);
}

Outcome host_version_call(Conversation& c) {
    return of_result(apihostversion(c.areas.area(8)));
}

const Bytes version_records = [] {
    Bytes out;
    for (const char* name : {"NA_A", "NA_B"})
        out = join({out, text_bytes(name, 8), text_bytes("description", 60),
                    number_bytes(7, 4, false), text_bytes("0.7", 32)});
    return out;
}();

const CallCase calls[] = {
    {.name = "itoi",
     .setup = Setup::none,
     .answers = nullptr,
     .invoke = [](Conversation& c) -> Outcome {
         return {static_cast<std::uint16_t>(itoi(0x1234, c.areas.area(2))), 0, 0};
     },
     .clean = {0x3412, 0, 0},
     .connected_after = false},
    {.name = "ltol",
     .setup = Setup::none,
     .answers = nullptr,
     .invoke = [](Conversation& c) -> Outcome {
         return {static_cast<std::uint32_t>(ltol(0x12345678, c.areas.area(4))), 0, 0};
     },
     .clean = {0x78563412, 0, 0},
     .connected_after = false},
    {.name = "klconnect (a new connection)",
     .setup = Setup::none,
     .answers = [] { return one({}, server_instance); },
     .invoke = connect_call,
     .on_socket_fault = first_connect_faults,
     .other_allocation_error = KL_ERR_NO_TABLES},
    {.name = "klconnect (refused by the server)",
     .setup = Setup::none,
     .answers = [] { return one(StatusRecord{}.error(2001)); },
     .invoke = connect_call,
     .clean = failed(2001, 0),
     .connected_after = false,
     .on_socket_fault = refused_connect_faults,
     .other_allocation_error = KL_ERR_NO_TABLES},
    {.name = "klconnect (sharing the connection)",
     .setup = Setup::cursor,
     .answers =
         [] {
             return one({}, Bytes{0x55, 0x66, 0x77, 0x88});
         },
     .invoke = connect_call,
     .on_socket_fault = shared_connect_faults},
    {.name = "kldisconnect",
     .setup = Setup::cursor,
     .answers = [] { return one(); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(kldisconnect(c.instance, "", st), st);
         },
     .connected_after = false},
    {.name = "klopencursor",
     .setup = Setup::instance,
     .answers =
         [] {
             return one({}, Bytes{0xD1, 0xD2, 0xD3, 0xD4});
         },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klopencursor(c.instance, "", st, number_area(c)), st);
         }},
    {.name = "klclosecursor",
     .setup = Setup::cursor,
     .answers = [] { return one(); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klclosecursor(c.cursor, "", st), st);
         }},
    {.name = "klversion",
     .setup = Setup::instance,
     .answers =
         [] {
             return std::vector<Step>{
                 {{status(StatusRecord{}.count(2).bufflen(104)), data_record(version_records)}}};
         },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             auto* records = reinterpret_cast<klversion_record*>(c.areas.area(2 * 104));
             return of_status(klversion(c.instance, "", st, "PROD", 0, records), st);
         }},
    {.name = "klqualify",
     .setup = Setup::cursor,
     .answers = [] { return one(StatusRecord{}.valuesize(5)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klqualify(c.cursor, "", st, "own", "orders", "id", "id > 3"), st);
         }},
    {.name = "klselect",
     .setup = Setup::cursor,
     .answers = [] { return one(StatusRecord{}.bufflen(16).valuesize(8)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klselect(c.cursor, "", st, "orders", "*", "id > 3"), st);
         }},
    {.name = "klfetch",
     .setup = Setup::selected,
     .answers =
         [] {
             return std::vector<Step>{
                 {{status(StatusRecord{}.count(1).bufflen(16), counting_bytes(16)),
                   status(StatusRecord{}.count(1).bufflen(16), counting_bytes(16, 16))}}};
         },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klfetch(c.cursor, "", st, 2, c.areas.area(32)), st);
         }},
    {.name = "klfetchkeys",
     .setup = Setup::selected,
     .answers = [] { return one(StatusRecord{}.count(2), counting_bytes(8)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klfetchkeys(c.cursor, "", st, 2, c.areas.area(8)), st);
         }},
    {.name = "klerror (a local text)",
     .setup = Setup::none,
     .answers = nullptr,
     .invoke = [](Conversation& c) -> Outcome {
         klstatus* st = c.areas.status(20001);
         const char* message = klerror(st, "", c.areas.area(256));
         return {std::strcmp(message, "local text") == 0 ? 0u : 1u, st->error, st->info};
     },
     .clean = {0, 20001, 0},
     .connected_after = false},
    {.name = "klerror (the server's text)",
     .setup = Setup::instance,
     .answers = [] { return one(StatusRecord{}.error(2001).info(9), text_bytes("server text")); },
     .invoke = [](Conversation& c) -> Outcome {
         klstatus* st = c.areas.status(20010);
         const char* message = klerror(st, "", c.areas.area(256));
         return {std::strcmp(message, "server text") == 0 ? 0u : 1u, st->error, st->info};
     },
     .clean = {0, 2001, 9},
     .on_socket_fault = server_message_faults},
    {.name = "apierror",
     .setup = Setup::none,
     .answers = nullptr,
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status(20001);
             return of_result(
                 apierror(KL_MAKE_RESULT(KL_CAT_KELORA, 20001), st, c.areas.area(256)));
         },
     .connected_after = false},
    {.name = "apiinfo (a local item)",
     .setup = Setup::instance,
     .answers = nullptr,
     .invoke =
         [](Conversation& c) {
             return of_result(apiinfo(0, "hosttype", nullptr, c.areas.area(2)));
         }},
    {.name = "apiinfo (the host version)",
     .setup = Setup::instance,
     .answers = [] { return std::vector<Step>{{{{.payload = text_bytes("01.02.03", 8)}}}}; },
     .invoke =
         [](Conversation& c) {
             return of_result(apiinfo(0, "hostversion", nullptr, c.areas.area(8)));
         },
     .on_socket_fault = host_version_faults},
    {.name = "apihostversion",
     .setup = Setup::instance,
     .answers = [] { return std::vector<Step>{{{{.payload = text_bytes("01.02.03", 8)}}}}; },
     .invoke = host_version_call,
     .on_socket_fault = host_version_faults},
    {.name = "apiversion",
     .setup = Setup::none,
     .answers = nullptr,
     .invoke = [](Conversation& c) { return of_result(apiversion(c.areas.area(7))); },
     .connected_after = false},
    {.name = "klupdate",
     .setup = Setup::selected,
     .answers = [] { return one(); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klupdate(c.cursor, "", st, "orders", "a,b", c.areas.area(16)), st);
         }},
    {.name = "kldelete",
     .setup = Setup::selected,
     .answers = [] { return one(); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(kldelete(c.cursor, "", st, "orders"), st);
         }},
    {.name = "kllist",
     .setup = Setup::cursor,
     .answers =
         [] {
             return std::vector<Step>{
                 {{status(StatusRecord{}.count(1).bufflen(16), counting_bytes(16)),
                   status(StatusRecord{}.count(1).bufflen(16), counting_bytes(16, 16))}}};
         },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(kllist(c.cursor, "", st, "orders", "*", "", 2, c.areas.area(32)), st);
         }},
    {.name = "klform",
     .setup = Setup::cursor,
     .answers = [] { return one(StatusRecord{}.bufflen(16), counting_bytes(16)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klform(c.cursor, "", st, "orders", "*", 1, c.areas.area(16)), st);
         }},
    {.name = "klexternal",
     .setup = Setup::instance,
     // The header and two input records; the status and two output records.
     .answers =
         [] {
             return after_records(3, {status(), data_record(counting_bytes(1955)),
                                      data_record(counting_bytes(545))});
         },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klexternal(c.instance, "", st, 0, "lib", "routine",
                                         c.areas.area(3000), 3000, c.areas.area(2500), 2500),
                              st);
         }},
    {.name = "klcommand",
     .setup = Setup::instance,
     .answers = [] { return after_records(2, {status()}); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(
                 klcommand(c.instance, "", st, 0, c.areas.area(100), 100, c.areas.area(16), 16),
                 st);
         }},
    {.name = "klgetinfo",
     .setup = Setup::instance,
     .answers = [] { return one(StatusRecord{}.count(1), counting_bytes(24)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             auto* qualifier_items = reinterpret_cast<kl_long*>(c.areas.area(2 * sizeof(kl_long)));
             qualifier_items[0] = 202;
             qualifier_items[1] = 0;
             char* qualifiers = c.areas.area(32);
             std::memset(qualifiers, ' ', 32);
             std::memcpy(qualifiers, "orders", 6);
             auto* buffer_items = reinterpret_cast<kl_long*>(c.areas.area(3 * sizeof(kl_long)));
             buffer_items[0] = 305;
             buffer_items[1] = 306;
             buffer_items[2] = 0;
             return of_status(klgetinfo(c.instance, "", st, qualifier_items, qualifiers,
                                        buffer_items, c.areas.area(24)),
                              st);
         }},
    {.name = "klgetindexinfo",
     .setup = Setup::instance,
     .answers = [] { return one(StatusRecord{}.count(1), counting_bytes(20)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klgetindexinfo(c.instance, "", st, "orders", c.areas.area(20)), st);
         }},
    {.name = "klinsert",
     .setup = Setup::instance,
     // The catalogue's two columns (4 + 8 bytes), then the insert's status.
     .answers =
         [] {
             const Bytes columns = join({number_bytes(400, 4, false), number_bytes(4, 4, false),
                                         number_bytes(1, 4, false), number_bytes(201, 4, false),
                                         number_bytes(8, 4, false), number_bytes(1, 4, false)});
             return std::vector<Step>{{{status(StatusRecord{}.count(2), columns)}}, {{status()}}};
         },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klinsert(c.instance, "", st, "orders", "", c.areas.area(12)), st);
         }},
    {.name = "kldescribe",
     .setup = Setup::selected,
     .answers =
         [] {
             return std::vector<Step>{
                 {{status(StatusRecord{}.count(2)), data_record(counting_bytes(440))}}};
         },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(kldescribe(c.cursor, "", st, 2, c.areas.area(440)), st);
         }},
    {.name = "klbind",
     .setup = Setup::selected,
     .answers = [] { return after_records(2, {status()}); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klbind(c.cursor, "", st, 2, c.areas.area(440)), st);
         }},
    {.name = "klassignvalues",
     .setup = Setup::selected,
     .answers = [] { return one(); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klassignvalues(c.cursor, "", st, "label", 2, c.areas.area(16)), st);
         }},
    {.name = "kljoin",
     .setup = Setup::cursor,
     .answers = [] { return one(StatusRecord{}.valuesize(3)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(kljoin(c.cursor, "", st, "orders", "customer", 0, "customers", "id"),
                              st);
         }},
    {.name = "kljoin303",
     .setup = Setup::cursor,
     .answers = [] { return one(StatusRecord{}.valuesize(3)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(kljoin303(c.cursor, "", st, "orders", "customer", "customers", "id"),
                              st);
         }},
    {.name = "klcalc",
     .setup = Setup::cursor,
     .answers = [] { return one(StatusRecord{}.bufflen(8), counting_bytes(8)); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klcalc(c.cursor, "", st, "orders", "quantity", c.areas.area(8)), st);
         }},
    {.name = "klexport",
     .setup = Setup::cursor,
     .answers = [] { return one(); },
     .invoke =
         [](Conversation& c) {
             klstatus* st = c.areas.status();
             return of_status(klexport(c.cursor, "", st, "PROD", "orders.txt"), st);
         }},
};

// The faults each kind of socket operation meets.
std::vector<SocketFault> faults_for(SocketOp op) {
    switch (op) {
    case SocketOp::send:
        return {SocketFault::error, SocketFault::reset, SocketFault::short_transfer};
    case SocketOp::recv:
        return {SocketFault::error, SocketFault::reset, SocketFault::peer_closed,
                SocketFault::short_transfer};
    default:
        return {SocketFault::error};
    }
}

const char* op_name(SocketOp op) {
    static constexpr const char* names[] = {"open", "connect", "set option",
                                            "send", "receive", "close"};
    return names[static_cast<int>(op)];
}

const char* fault_name(SocketFault fault) {
    static constexpr const char* names[] = {"error", "reset", "peer closed", "short"};
    return names[static_cast<int>(fault)];
}

std::string describe(const Injected& f) {
    switch (f.kind) {
    case Injected::Kind::none:
        return "no fault";
    case Injected::Kind::socket:
        return std::string(fault_name(f.fault)) + " at " + op_name(f.op) + " #" +
               std::to_string(f.n);
    case Injected::Kind::every_receive_short:
        return "every receive cut to one byte";
    case Injected::Kind::seam_allocation:
        return "seam allocation fails after " + std::to_string(f.n);
    case Injected::Kind::new_allocation:
        return "operator new fails after " + std::to_string(f.n);
    }
    return "";
}

// The socket error a fault reports.
kl_long fault_info(SocketFault fault) {
    switch (fault) {
    case SocketFault::error:
        return platform::wsa_enetdown;
    case SocketFault::reset:
    case SocketFault::peer_closed:
        return platform::wsa_econnreset;
    case SocketFault::short_transfer:
        return 0; // a short send sets no socket error
    }
    return 0;
}

// Counting the open descriptors is cheap on POSIX; on Windows it probes
// every handle value, so there it is done once, at the end.
#if defined(_WIN32)
constexpr bool count_descriptors_each_case = false;
#else
constexpr bool count_descriptors_each_case = true;
#endif

struct FaultInjectionTest : ::testing::Test {
    std::filesystem::path dir;
    int baseline = 0;
    std::unique_ptr<TestPeer> peer;
    int cases = 0;
    int socket_cases = 0;
    int allocation_cases = 0;
    int not_fired = 0;

    void SetUp() override {
        reset_library_state();
        dir = os::make_temp_dir();
        os::set_env("KL_WINDIR", dir.string().c_str());
        const std::string messages = (dir / "messages.ini").string();
        std::ofstream(dir / "talvern.ini") << "[Kelora]\nKLGlobal=" << messages << "\n";
        std::ofstream(messages) << "[ENVIRONMENT KLGLOBAL]\nKLMSG_20001=local text\n";
        baseline = open_descriptor_count();
    }

    void TearDown() override {
        reset_library_state();
        os::set_env("KL_WINDIR", nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // With a limit on every wait, so a case that leaves the library waiting
    // for an answer that never comes fails instead of hanging.
    std::string write_environment() const {
        const std::filesystem::path path = dir / "prod.env";
        std::ofstream(path) << "[environment]\nname=production\n[include]\nNode=PROD\n"
                               "filename=sales.db\n[Node PROD]\ntransport=tcpsockets\n"
                               "ipaddress=127.0.0.1\ntimeout=10\nport="
                            << peer->dispatcher_port() << "\n";
        return path.string();
    }

    kl_long connect(const std::string& environment) {
        peer->script(one({}, server_instance));
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
        peer->script(one({}, server_cursor));
        klstatus st{};
        ASSERT_EQ(klopencursor(c.instance, "", &st, &c.cursor), 0u);
        if (call.setup == Setup::cursor) return;
        peer->script(one(StatusRecord{}.bufflen(16).valuesize(8)));
        ASSERT_EQ(klselect(c.cursor, "", &st, "orders", "*", ""), 0u);
    }

    // Runs the call once under the fault.  Returns whether the fault took
    // effect, and the count of each socket operation the call made.
    bool run(const CallCase& call, const Injected& f,
             std::array<int, platform::socket_op_kinds>* operations = nullptr) {
        SCOPED_TRACE(describe(f));
        ++cases;
        reset_library_state();
        peer = std::make_unique<TestPeer>();
        Conversation c;
        c.environment = write_environment();
        set_up(call, c);
        if (::testing::Test::HasFatalFailure()) return false;
        if (call.answers) peer->script(call.answers());

        // Armed only around the call itself.
        const int faults_before = platform::injected_faults();
        const int refused_before = new_refused;
        platform::inject_socket_fault(f.op, f.kind == Injected::Kind::socket ? f.n : 0, f.fault);
        if (f.kind == Injected::Kind::seam_allocation) platform::set_allocation_failures_after(f.n);
        if (f.kind == Injected::Kind::new_allocation) new_countdown = f.n;
        if (f.kind == Injected::Kind::every_receive_short) platform::set_short_receive_every(1);
        const Outcome outcome = call.invoke(c);
        new_countdown = -1;
        platform::set_allocation_failures_after(-1);
        platform::set_short_receive_every(0);
        const bool fired = f.kind == Injected::Kind::every_receive_short ||
                           platform::injected_faults() != faults_before ||
                           new_refused != refused_before;
        std::array<int, platform::socket_op_kinds> made{};
        for (int k = 0; k < platform::socket_op_kinds; ++k)
            made[k] = platform::socket_operations(static_cast<SocketOp>(k));
        platform::inject_socket_fault(SocketOp::send, 0, SocketFault::error);
        if (operations) *operations = made;

        EXPECT_TRUE(c.areas.intact()) << "a write outside the caller's areas";
        const Expected expected = expectation(call, f, fired, c);
        if (fired && (f.kind == Injected::Kind::seam_allocation ||
                      f.kind == Injected::Kind::new_allocation)) {
            // The system error number of the moment is the info; it is
            // not compared.
            EXPECT_TRUE(outcome.error == KL_ERR_NO_MEMORY ||
                        (outcome.error != 0 && outcome.error == call.other_allocation_error))
                << ::testing::PrintToString(outcome);
            EXPECT_EQ(KL_RESULT_NUMBER(outcome.result), static_cast<unsigned>(outcome.error));
        } else {
            EXPECT_EQ(outcome, expected.outcome);
        }
        if (f.kind == Injected::Kind::socket && !fired) ++not_fired;
        check_next_calls(c, expected.connected, made[static_cast<int>(SocketOp::send)] == 0);

        peer.reset();
        reset_library_state();
        if (count_descriptors_each_case) {
            EXPECT_EQ(open_descriptor_count(), baseline) << "a descriptor left open";
        }
        return fired;
    }

    Expected expectation(const CallCase& call, const Injected& f, bool fired,
                         const Conversation& c) const {
        const Expected clean{call.clean, call.connected_after};
        if (!fired) return clean;
        if (f.kind == Injected::Kind::every_receive_short) {
            // As the first receive cut short, for the calls with a rule.
            const Injected first{.kind = Injected::Kind::socket,
                                 .op = SocketOp::recv,
                                 .n = 1,
                                 .fault = SocketFault::short_transfer};
            if (call.on_socket_fault) {
                if (const auto special = call.on_socket_fault(first)) return *special;
            }
            return clean;
        }
        if (f.kind == Injected::Kind::socket) {
            if (call.on_socket_fault) {
                if (const auto special = call.on_socket_fault(f)) return *special;
            }
            // The option is a speed-up whose failure is not reported.
            if (cut_receive(f) || f.op == SocketOp::set_option) return clean;
            return {failed(KL_ERR_SOCKET, fault_info(f.fault)), false};
        }
        // An allocation failure leaves the connection as it was (the
        // outcome is checked by run).
        return {{}, c.instance != 0};
    }

    // The library is fit for the next call: blocks of a lost connection
    // fail with 18011 and are freed by their close; live ones close over
    // the connection with answers of their own; after a lost connection a
    // new one can be made.  Nothing stays behind.
    void check_next_calls(Conversation& c, bool expected_connected, bool sent_nothing) {
        EXPECT_EQ(live_connection() != 0, expected_connected);
        const bool connected = live_connection() != 0;
        if (!connected) {
            if (c.instance != 0 && client_tables.instances.find(c.instance) != nullptr) {
                klstatus st{};
                kl_long cursor = 0;
                EXPECT_EQ(klopencursor(c.instance, "", &st, &cursor), KL_ERR_NOT_CONNECTED);
            }
            // A new server for the new connection: the old one may still
            // be about to accept the old connection and read its request.
            peer = std::make_unique<TestPeer>();
            c.environment = write_environment();
        } else if (sent_nothing) {
            peer->clear_script(); // the call's answers, never asked for
        }

        klstatus st{};
        for (std::int32_t n = 1; n <= client_tables.cursors.highest_slot(); ++n) {
            const kl_cursor_t* block = client_tables.cursors.find(n);
            if (block == nullptr) continue;
            const bool live = block->connection == live_connection() && live_connection() != 0;
            if (live) peer->script(one(StatusRecord{}.info(marker)));
            EXPECT_EQ(klclosecursor(n, "", &st), live ? 0u : KL_ERR_NOT_CONNECTED);
            if (live) {
                EXPECT_EQ(st.info, marker) << "the connection is out of step";
            }
        }
        for (std::int32_t n = 1; n <= client_tables.instances.highest_slot(); ++n) {
            const ClientInstance* block = client_tables.instances.find(n);
            if (block == nullptr) continue;
            const bool live = block->connection == live_connection() && live_connection() != 0;
            if (live) peer->script(one());
            EXPECT_EQ(kldisconnect(n, "", &st), live ? 0u : KL_ERR_NOT_CONNECTED);
        }
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

    // Walks the allocations of a call: each run lets one more succeed,
    // until the call runs without a refused one.
    void walk_allocations(const CallCase& call, Injected::Kind kind) {
        for (int n = 0; n < 100; ++n) {
            ++allocation_cases;
            if (!run(call, {.kind = kind, .n = n})) return;
        }
        ADD_FAILURE() << "more than 100 allocations";
    }
};

TEST_F(FaultInjectionTest, EveryCallThroughEveryFault) {
    for (const CallCase& call : calls) {
        SCOPED_TRACE(call.name);
        std::array<int, platform::socket_op_kinds> operations{};
        run(call, {}, &operations);
        if (operations[static_cast<int>(SocketOp::recv)] > 0) {
            run(call, {.kind = Injected::Kind::every_receive_short});
            ++socket_cases;
        }
        for (int k = 0; k < platform::socket_op_kinds; ++k) {
            const auto op = static_cast<SocketOp>(k);
            for (int n = 1; n <= operations[k]; ++n) {
                for (SocketFault fault : faults_for(op)) {
                    run(call, {.kind = Injected::Kind::socket, .op = op, .n = n, .fault = fault});
                    ++socket_cases;
                }
            }
        }
        walk_allocations(call, Injected::Kind::seam_allocation);
        walk_allocations(call, Injected::Kind::new_allocation);
    }
    EXPECT_EQ(open_descriptor_count(), baseline) << "a descriptor left open";
    std::printf("fault injection: %d cases (%d socket faults, %d allocation runs), %d faults that "
                "never took effect\n",
                cases, socket_cases, allocation_cases, not_fired);
}

} // namespace
} // namespace kl::test

// The frame every exported call runs in.
//
// The library admits one call at a time.  A call claims the process-wide
// owner word with one indivisible compare-and-exchange; a second call made
// while one is in progress fails at once with 18002 and does not wait.
// Every path of a call, failures included, leaves through the common exit,
// which composes the result code, writes the exit trace lines and releases
// the owner word when the calling thread holds it.
//
//     uint32_t klsomething(kl_long cursor, const char* options, klstatus* status) {
//         return kl::run_call(status, [&](klstatus& st) {
//             ... checks, request, exchange, own work; return early on failure ...
//         });
//     }
//
// No exception leaves run_call: an allocation failure inside a call is
// reported as 10021 with the system error number as detail.  The calls
// that do not run through it use without_exceptions below.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/status.h"
#include "klsrv32.h"

namespace kl {

// Identity of the thread whose call is in progress; 0 = none.
extern std::atomic<std::uint32_t> owner_word;

// Who writes the taking-control line (both only with the debug flag set).
enum class ClaimTrace { call, information };

// Tests the owner word and claims it for the calling thread in one step.
// On success traces the taking-control line and returns true.
bool claim_owner(ClaimTrace line = ClaimTrace::call);

// Sets the owner word back to 0 when the calling thread holds it.
void release_owner();

// The common exit: result = make_status(0, status.error), the exit trace
// lines, and the release of the owner word.
// Nothing on it allocates, so it cannot throw.
std::uint32_t call_exit(const klstatus& status) noexcept;

// Stores an internal failure (an exception that would otherwise leave the
// call) in the status.
void set_internal_failure(klstatus& status) noexcept;

// The trace lines around a nested call (see run_nested_call), neither
// touching the owner word: those of the word handed over and taken by
// another call ("Task with control=0x0", "Task taking control"), and those
// of the nested call's exit followed by the hand-over back, which also
// returns the result as call_exit composes it.
void trace_hand_over() noexcept;
std::uint32_t nested_exit(const klstatus& status) noexcept;

// Runs body as a call nested in the one the calling thread has in progress
// (klinsert asks the catalogue this way).  The owner word stays claimed
// throughout, so no call of another thread can run in between, yet the
// trace shows what handing the word to a separate call and taking it back
// would show: "Task with control=0x0", "Task taking control", body's
// lines, the exit lines, "Task with control=0x0", "Task taking control".
// An exception in body becomes 10021 in status, as in run_call.
template <class Body> std::uint32_t run_nested_call(klstatus& status, Body&& body) noexcept {
    trace_hand_over();
    try {
        body(status);
    } catch (...) {
        set_internal_failure(status);
    }
    return nested_exit(status);
}

template <class Body> std::uint32_t run_call(klstatus* status, Body&& body) noexcept {
    // A caller that passed no status record still gets its result code.
    klstatus scratch{};
    klstatus& st = status ? *status : scratch;
    if (!claim_owner()) {
        set_local_status(st, KL_ERR_CALL_IN_PROGRESS);
    } else {
        try {
            body(st);
        } catch (...) {
            set_internal_failure(st);
        }
    }
    return call_exit(st);
}

// The frame of the exported calls that do not run through run_call (they
// run without the guard, or take it for part of their work only): no
// exception leaves them either.  One that would ends the call with the
// result of failed(), after the owner word is released when the calling
// thread holds it.
template <class Body, class Failed>
auto without_exceptions(Body&& body, Failed&& failed) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        release_owner();
        return failed();
    }
}

} // namespace kl

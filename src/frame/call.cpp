#include "frame/call.h"

#include <new>

#include "frame/trace.h"
#include "platform/platform.h"

namespace kl {

bool claim_owner(ClaimTrace line) {
    std::uint32_t expected = 0;
    const std::uint32_t me = platform::thread_identity();
    if (!owner_word.compare_exchange_strong(expected, me)) return false;
    if (line == ClaimTrace::information)
        trace("  *** Task taking control=%x\n", me);
    else
        trace_call("  *** Task taking control=%x\n", me);
    return true;
}

void release_owner() {
    std::uint32_t expected = platform::thread_identity();
    owner_word.compare_exchange_strong(expected, 0);
}

std::uint32_t call_exit(const klstatus& status) noexcept {
    const std::uint32_t result =
        make_status(KL_CAT_KELORA, static_cast<std::uint32_t>(status.error));
    trace_call("  EXIT_DLL return status=0x%lx\n", result);
    release_owner();
    trace_call("  *** Task with control=0x%x\n", owner_word.load());
    return result;
}

void trace_hand_over() noexcept {
    trace_call("  *** Task with control=0x%x\n", std::uint32_t{0});
    trace_call("  *** Task taking control=%x\n", platform::thread_identity());
}

std::uint32_t nested_exit(const klstatus& status) noexcept {
    const std::uint32_t result =
        make_status(KL_CAT_KELORA, static_cast<std::uint32_t>(status.error));
    trace_call("  EXIT_DLL return status=0x%lx\n", result);
    trace_hand_over();
    return result;
}

void set_internal_failure(klstatus& status) noexcept {
    // The only exception the library's own code can meet is an allocation
    // failure of the standard containers.
    set_local_status(status, KL_ERR_NO_MEMORY, platform::system_error());
}

} // namespace kl

// The information calls: apierror, apiinfo, apihostversion, apiversion.
//
// They answer questions about the library and the server rather than
// about data, report their own failures in category 1, and write their
// trace lines when the debug flag is set.
// Only the host version paths use the connection, so only they take the
// one-call guard; the others run even while another call is in progress,
// and like every call release the owner word at their exit only when the
// calling thread holds it.
//
// A null output area is refused with category 1, 10036, before anything
// is written or sent.

#include <array>
#include <cstring>

#include "calls/export.h"
#include "frame/call.h"
#include "frame/format.h"
#include "frame/trace.h"
#include "platform/platform.h"
#include "protocol.h"
#include "transport/exchange.h"
#include "transport/state.h"

namespace {

using namespace kl;

using protocol::host_version_size;
using protocol::message_size;
constexpr char client_version[] = KLSRV32_VERSION_TEXT;
// apiinfo's and apiversion's result areas take the text in seven bytes,
// its terminator included: a longer version would write past them.
static_assert(sizeof client_version == 7);

constexpr const char* box_title = "VESK Client/Server API";
constexpr const char* versions_format =
    "VESK API Information\n\n(Local and Remote Software Versions)\n\nVESK DLL "
    "Version:\t\t%7s\n\nHost Type:\t\t%s\n\t\t\t(%s)\nHost Version:\t\t%.8s\n\nPPLHOSTP "
    "Version:\t%d.%d\n\nPPL DLL Version:\t\t%d.%d\nPPLSERV Version:\t\t%d.%d\n";
constexpr const char* statistics_format =
    "VESK API Information\n\n(Connection Statistics Since Last Read/Write)\n\nLine "
    "Hits\t\t\t%d\nRe Transmits\t\t%d\nTimeOuts\t\t%d\nConsecutive T.Outs\t%d\nReceive "
    "Naks\t\t%d\nTransmit Naks\t\t%d\n";

// The exit of an information call: the result code, the exit lines, and
// the owner word released when the calling thread holds it.
std::uint32_t info_exit(std::uint32_t category, std::uint32_t number) {
    const std::uint32_t result = make_status(category, number);
    trace("  EXIT_DLL return status=0x%lx\n", result);
    release_owner();
    trace("  *** Task with control=0x%x\n", owner_word.load());
    return result;
}

std::uint32_t succeed() {
    return info_exit(KL_CAT_KELORA, 0);
}

std::uint32_t fail(std::uint32_t number) {
    return info_exit(KL_CAT_CLIENT, number);
}

// Appends to the 256-byte message area, cut so that the text and its
// terminator stay within it.
void append_message(char* message, const char* text) {
    const std::size_t length = bounded_length(message, message_size - 1);
    copy_text(std::span(message + length, message_size - length), text);
}

// True when the first eight characters of text equal those of keyword,
// without regard to letter case; a shorter text never matches.  Eight, so
// that applications' abbreviations ("clientve") and longer words
// ("CLIENTVERSIONS") keep working alike.
bool matches_first_eight(const char* text, const char* keyword) {
    if (text == nullptr) return false;
    for (std::size_t i = 0; i < 8; ++i) {
        if (upper_char(text[i]) != upper_char(keyword[i])) return false;
    }
    return true;
}

// Asks the server for its 8-byte version.  The answer carries no status:
// an answer longer than 8 bytes is cut to them (receive_response reads the
// rest of the record and drops it, so the connection stays in step), and
// a shorter one is passed on with zeros after what arrived.
std::uint32_t host_version(void* result, bool trace_value) {
    if (result == nullptr) return fail(KL_ERR_NULL_ARGUMENT);
    if (!claim_owner(ClaimTrace::information)) {
        // Refused: the owner word stays with the call that holds it.
        const std::uint32_t refused = make_status(KL_CAT_CLIENT, KL_ERR_CALL_IN_PROGRESS);
        trace("  EXIT_DLL return status=0x%lx\n", refused);
        return refused;
    }
    if (!transport_state.connected_flag) return fail(KL_ERR_NOT_CONNECTED);

    std::array<std::uint8_t, 2> request;
    store_u16(request.data(), protocol::code_host_version);
    std::array<std::uint8_t, host_version_size> answer{};
    klstatus transfer{};
    if (send_request(request, transfer) != 0 || !receive_response(answer, transfer))
        return fail(KL_ERR_SOCKET);
    std::memcpy(result, answer.data(), answer.size());
    if (trace_value) {
        char text[host_version_size + 1] = {};
        std::memcpy(text, answer.data(), answer.size());
        trace("   hostversion=%s\n", text);
    }
    return succeed();
}

void show_information(const char* text) {
    platform::message_box(platform::focus_window(), text, box_title,
                          platform::mb_ok | platform::mb_iconinformation);
}

// The trace lines keep the words they have always printed (dwStatus,
// lpszMsgBuffer): log readers look for them.
std::uint32_t error_text(std::uint32_t result, klstatus* status, char* message_area) {
    const std::uint32_t category = result >> 24;
    const std::uint32_t error = result & 0xFFFFu;
    trace("Function: apierror\n  dwStatus=0x%lx, byErrorCategory=0x%x, wError=0x%x\n", result,
          category, error);
    if (message_area == nullptr) return fail(KL_ERR_NULL_ARGUMENT);
    const std::span<char> message(message_area, message_size);

    std::uint32_t failure = 0;
    char text[message_size] = {};
    switch (category) {
    case KL_CAT_KELORA:
        trace("  Kelora: dwError=0x%lx\n", result & 0xFFFFFFu);
        copy_text(message, "KELORA:  ");
        append_message(message_area, klerror(status, ";", text));
        break;
    case KL_CAT_CLIENT:
    case KL_CAT_HOST:
        copy_text(message, category == KL_CAT_CLIENT ? "Client (PC):  " : "Server (HOST):  ");
        if (platform::load_string(error, text) > 0) {
            append_message(message_area, text);
        } else {
            append_message(message_area, "Unknown error.");
            failure = KL_ERR_UNKNOWN_CATEGORY;
        }
        break;
    case KL_CAT_SOCKETS:
        format_text(message, "Sockets communication error #%d", error);
        break;
    default:
        copy_text(message, "Client (PC):  unknown error category (subsystem).");
        failure = KL_ERR_UNKNOWN_ERROR_CATEGORY;
        break;
    }
    trace("  lpszMsgBuffer=%s\n", message_area);
    return failure != 0 ? fail(failure) : succeed();
}

std::uint32_t information(const char* options, void* result) {
    trace("Function: apiinfo: Options=%s\n", options);
    if (matches_first_eight(options, "hosttype")) {
        if (result == nullptr) return fail(KL_ERR_NULL_ARGUMENT);
        const std::uint16_t host_type = transport_state.host_type;
        std::memcpy(result, &host_type, sizeof host_type);
        trace("         hosttype=%d\n", host_type);
        return succeed();
    }
    if (matches_first_eight(options, "clientversion")) {
        if (result == nullptr) return fail(KL_ERR_NULL_ARGUMENT);
        std::memcpy(result, client_version, sizeof client_version);
        trace("   clientversion=%s\n", client_version);
        return succeed();
    }
    if (matches_first_eight(options, "hostversion")) return host_version(result, true);
    return fail(KL_ERR_OPTION_REJECTED);
}

std::uint32_t versions(void* result) {
    if (result == nullptr) return fail(KL_ERR_NULL_ARGUMENT);
    std::memcpy(result, client_version, sizeof client_version);
    char text[512];
    format_text(text, versions_format, client_version, "Unix", "Not Connected", "00.00.00", 0, 0, 0,
                0, 0, 0);
    show_information(text);
    format_text(text, statistics_format, 0, 0, 0, 0, 0, 0);
    show_information(text);
    return succeed();
}

// An exception (there is no allocation on any path today) ends an
// information call with 10021 of category 1.
std::uint32_t out_of_memory() {
    return fail(KL_ERR_NO_MEMORY);
}

} // namespace

KL_EXPORT uint32_t KLAPI apierror(uint32_t result, klstatus* status, char* message) {
    return without_exceptions([&] { return error_text(result, status, message); }, out_of_memory);
}

KL_EXPORT uint32_t KLAPI apiinfo(kl_long, const char* options, void*, void* result) {
    return without_exceptions([&] { return information(options, result); }, out_of_memory);
}

KL_EXPORT uint32_t KLAPI apihostversion(void* result) {
    return without_exceptions([&] { return host_version(result, false); }, out_of_memory);
}

KL_EXPORT uint32_t KLAPI apiversion(void* result) {
    return without_exceptions([&] { return versions(result); }, out_of_memory);
}

// klerror: the message text for the status of a failed call.
//
// The text comes from the local message file (named in talvern.ini) when
// it holds one for the status, else from the server (code 317), else it
// is one of the two texts the call supplies itself.  klerror reports
// nothing as a result code: every path returns the caller's message
// buffer, a 256-byte area that every text written here fits with its
// terminator.
//
// The local lookup runs without the one-call guard (the message file's
// name is read under a lock of its own); only the server exchange takes
// the guard, and when another call holds it klerror gives up rather than
// waits.

#include "calls/errors.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "calls/export.h"
#include "frame/call.h"
#include "frame/format.h"
#include "frame/options.h"
#include "frame/shared.h"
#include "frame/trace.h"
#include "platform/platform.h"
#include "protocol.h"
#include "transport/exchange.h"
#include "transport/state.h"

namespace kl {

MessageFileState message_file_state;

} // namespace kl

namespace {

using namespace kl;

constexpr std::uint16_t code_server_message = protocol::code_message;

using protocol::message_size;
constexpr std::size_t message_text_limit = message_size - 1;
// Function code, the fourteen status words, the status text, the options.
constexpr std::size_t server_request_size = 2 + 14 * 4 + status_text_size + options_field_size;
constexpr std::size_t server_answer_size = 352;
static_assert(server_request_size == 174);

constexpr const char* message_section = "ENVIRONMENT KLGLOBAL";
constexpr const char* message_missing = "local message not defined";

constexpr const char* no_message_file =
    "The file containing the messages for the Kelora API calls could not be located.  Verify "
    "that you have an TALVERN.INI file in the Windows directory (usually C:\\Windows) with an "
    "KLGLOBAL entry for the message file.";
constexpr const char* no_message =
    "The file containing the messages for the Kelora API calls could not be located or the "
    "message is not defined.  Verify that you have an TALVERN.INI file in the Windows directory "
    "(usually C:\\Windows) with an KLGLOBAL entry for the message file.";

// The message file's key for a status: socket failures by their Windows
// Sockets number, other errors by their own number, at least five digits.
void build_message_key(const klstatus& status, std::span<char> key) {
    if (status.error == KL_ERR_SOCKET)
        format_text(key, "SOCKMSG_%.5ld", status.info);
    else if (status.error < 0)
        format_text(key, "KLMSG%.5ld", status.error);
    else
        format_text(key, "KLMSG_%.5ld", status.error);
}

// Guards the message file record: the first calls of several threads may
// meet in the reading of its name.
SpinLock message_file_lock;

enum class MessageFile { missing_now, missing, known };

// Reads the message file's name the first time and tells what is known
// of it: missing_now when this call found talvern.ini naming none,
// missing when an earlier call did, known with the name copied to name.
MessageFile message_file(std::span<char> name) {
    LockHolder hold(message_file_lock);
    MessageFileState& file = message_file_state;
    if (!file.read) {
        file.read = true;
        file.known = read_config(profile_file, "Kelora", "KLGlobal", file.name);
        if (!file.known) return MessageFile::missing_now;
    }
    if (!file.known) return MessageFile::missing;
    copy_text(name, file.name);
    return MessageFile::known;
}

// Appends " (context)" with the status text.  The context gives way to
// the message: it is cut to the room left, and a message so long that not
// even one character of it fits between the parentheses (252 characters
// or more) stands alone, uncut.
void append_context(char* message, const klstatus& status) {
    const std::size_t context = bounded_length(status.buffer, sizeof status.buffer);
    const std::size_t length = std::strlen(message);
    constexpr std::size_t decoration = 3; // " (" and ")"
    if (context == 0 || length + decoration >= message_text_limit) return;
    const std::size_t take = std::min(context, message_text_limit - decoration - length);
    char* at = message + length;
    *at++ = ' ';
    *at++ = '(';
    std::memcpy(at, status.buffer, take);
    at += take;
    *at++ = ')';
    *at = '\0';
}

// Looks the status up in the message file.  True, with the message in
// place, when the file has a text for it.
bool local_message(const char* file, const klstatus& status, char* message) {
    std::array<char, 32> key{};
    build_message_key(status, key);
    platform::read_profile_string(file, message_section, key.data(), message_missing,
                                  std::span(message, message_size));
    if (std::strcmp(message, message_missing) == 0) return false;
    append_context(message, status);
    return true;
}

// The exchange with the server, under the guard.  On success the caller's
// status holds the server's answer and the message its text.  A transfer
// that fails leaves both as they were (the failure shows only in the
// trace), and so does an answer too short to hold a status record: it
// says nothing about the error, and taking it would put zeros, a success,
// in the caller's status.
bool server_message(klstatus& status, const char* options, char* message) {
    std::int32_t words[14];
    std::memcpy(words, &status, sizeof words);
    std::array<std::uint8_t, server_request_size> request;
    RequestBuilder builder(request);
    builder.code(code_server_message);
    for (const std::int32_t word : words)
        builder.i32(word);
    builder.bytes({reinterpret_cast<const std::uint8_t*>(status.buffer), sizeof status.buffer})
        .options_field(options);

    klstatus transfer{}; // a failed transfer reports here, not to the caller
    if (send_request(builder.request(), transfer) != 0) {
        trace_call("  Return from klerror. Socket error %d writing to server.\n", transfer.info);
        return false;
    }
    // An answer longer than the area is cut to it by receive_response,
    // which reads the rest of the record and drops it, so the connection
    // stays in step; the text is then cut below like any long text.
    std::array<std::uint8_t, server_answer_size> answer{};
    const std::optional<Received> got = receive_response(answer, transfer);
    if (!got) {
        trace_call("  Return from klerror. Socket error %d reading from server.\n", transfer.info);
        return false;
    }
    const std::size_t received = got->kept;
    if (received < status_size) {
        trace_call("  Return from klerror. Answer of %d bytes holds no status.\n", received);
        return false;
    }
    copy_status(answer, status);

    const char* text = reinterpret_cast<const char*>(answer.data() + status_size);
    const std::size_t length =
        bounded_length(text, std::min(received - status_size, message_text_limit));
    std::memcpy(message, text, length);
    message[length] = '\0';
    trace_call("  Server msg (%d)=[%.100s]\n", length, message);
    return true;
}

char* message_text(klstatus* status, const char* options, char* message) {
    // Without a message area there is nowhere to answer, and without a
    // status nothing to explain.
    if (message == nullptr || status == nullptr) return message;
    trace_call("\nFunction: klerror\n  klstatus.error=%ld\n  options=%.80s\n", status->error,
               options);

    char file[sizeof message_file_state.name];
    const MessageFile lookup = message_file(file);
    if (lookup == MessageFile::missing_now) {
        copy_text(std::span(message, message_size), no_message_file);
        return message;
    }
    if (lookup == MessageFile::known && local_message(file, *status, message)) {
        trace_call("  Return from klerror with local message [%s].\n", message);
        return message;
    }
    // Until the server answers, the message is the text for one not found,
    // also when the file is known to be missing: else a caller's area that
    // never held a text would come back as the message.
    copy_text(std::span(message, message_size), no_message);

    if (!transport_state.connected_flag) {
        trace_call("  Return from klerror. Not connected to server.\n");
        return message;
    }
    trace_call("  Accessing server message file.\n");
    if (!claim_owner()) {
        trace_call("  Another function in progress by another task.\n");
        return message;
    }
    const bool answered = server_message(*status, options, message);
    release_owner();
    if (answered) trace_call("  *** Task with control=0x%x\n", owner_word.load());
    return message;
}

} // namespace

// An exception (there is no allocation on any path today) leaves the
// message area with the text for a message that cannot be found.
KL_EXPORT char* KLAPI klerror(klstatus* status, const char* options, char* message) {
    return without_exceptions([&] { return message_text(status, options, message); },
                              [&] {
                                  if (message != nullptr)
                                      copy_text(std::span(message, message_size), no_message);
                                  return message;
                              });
}

// Connecting, cursors, and the texts of failed calls.

#include "session.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace klcli {

namespace {

constexpr std::size_t message_size = KL_MESSAGE_SIZE; // klerror's and apierror's message area
constexpr std::size_t node_field_size = KL_NAME_FIELD_SIZE;

// Texts for the numbers the library sets by itself, for when neither a
// message file nor the server can say what they mean (as when klconnect
// itself failed).
struct OwnText {
    kl_long error;
    const char* text;
};
constexpr OwnText own_texts[] = {
    {KL_ERR_NEGATIVE_LENGTH, "a length is negative"},
    {KL_ERR_NOT_ENVIRONMENT, "not an environment file (no [environment] name= entry)"},
    {KL_ERR_NO_MEMORY, "out of memory"},
    {KL_ERR_NULL_ARGUMENT, "a required argument is missing"},
    {KL_ERR_OPTIONS_TOO_LONG, "options too long"},
    {KL_ERR_BAD_INSTANCE, "invalid instance number"},
    {KL_ERR_NO_MORE_RECORDS, "no more records"},
    {KL_ERR_BAD_CURSOR, "invalid cursor number"},
    {KL_ERR_END_OF_CATALOGUE, "no more catalogue entries"},
    {KL_ERR_CALL_IN_PROGRESS, "another call is in progress"},
    {KL_ERR_OPTION_REJECTED, "option rejected"},
    {KL_ERR_NOT_CONNECTED, "not connected to a server"},
    {KL_ERR_LOG_OPEN, "the trace log cannot be opened"},
    {KL_ERR_NODE_MISMATCH, "node name does not match"},
    {KL_ERR_STRINGS_TOO_LONG, "texts too long for the request"},
    {KL_ERR_UNKNOWN_ITEM, "unknown catalogue item"},
    {KL_ERR_DISPATCH_SHORT, "short exchange with the dispatcher"},
    {KL_ERR_BAD_IP_ADDRESS, "invalid IP address"},
    {KL_ERR_BOTH_GIVEN, "both host name and address, or both service and port, given"},
    {KL_ERR_ENVIRONMENT_ENTRY, "environment file entry missing or invalid"},
    {KL_ERR_SOCKET, "cannot reach the server"},
    {KL_ERR_TRANSPORT, "transport failure"},
    {KL_ERR_OTHER_SERVER, "already connected to a different server"},
};

// Without a message file, the library's klerror answers with a text that
// says the file is missing; that text explains nothing about the error.
constexpr std::string_view missing_file_text = "The file containing the messages";

std::string bounded(const char* text, std::size_t size) {
    return std::string(text, strnlen(text, size));
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

const char* own_text(const klstatus& status) {
    for (const OwnText& own : own_texts)
        if (own.error == status.error) return own.text;
    return nullptr;
}

} // namespace

std::string message_text(const klstatus& status) {
    // klerror puts the server's answer into the status it is given, so it
    // gets a copy.  Without a message file, the first klerror of a process
    // gives the missing-file text and only later ones ask the server: a
    // second try is made when the first gave that text.
    for (int attempt = 0; attempt < 2; ++attempt) {
        klstatus work = status;
        std::array<char, message_size> message{};
        const char* text = klerror(&work, "", message.data());
        const std::string result = text ? bounded(text, message.size()) : std::string();
        if (!result.empty() && !result.starts_with(missing_file_text)) return result;
    }
    return {};
}

std::string failure_text(const char* call, std::uint32_t result, const klstatus& status) {
    std::string text = std::string(call) + ": ";
    if (KL_RESULT_CATEGORY(result) != KL_CAT_KELORA) {
        std::array<char, message_size> message{};
        klstatus work = status;
        apierror(result, &work, message.data());
        char code[32];
        std::snprintf(code, sizeof code, " [result 0x%08x]", static_cast<unsigned>(result));
        return text + bounded(message.data(), message.size()) + code;
    }

    // A server has no texts for the numbers the library sets itself.
    std::string message = message_text(status);
    const char* own = own_text(status);
    if (own != nullptr && (message.empty() || message.starts_with("no message for error")))
        message = own;
    if (message.empty()) message = "error " + std::to_string(status.error);
    // The server's texts come without the status's context; the message
    // file's come with it.
    const std::string context = trimmed(bounded(status.buffer, sizeof status.buffer));
    if (!context.empty() && message.find("(" + context + ")") == std::string::npos)
        message += " (" + context + ")";
    text += message + " [error " + std::to_string(status.error);
    if (status.info != 0) text += ", info " + std::to_string(status.info);
    return text + "]";
}

void check(const char* call, std::uint32_t result, const klstatus& status) {
    if (result != 0) throw CallFailure(failure_text(call, result, status));
}

Session::Session(const ConnectSettings& settings) {
    const std::string options = connect_options(settings);
    klstatus status{};
    const std::uint32_t result =
        klconnect(settings.environment.c_str(), options.c_str(), &status, settings.user.c_str(),
                  settings.password.c_str(), &instance_);
    check("klconnect", result, status);
    open_ = true;
}

Session::~Session() {
    if (!open_) return;
    klstatus status{};
    kldisconnect(instance_, "", &status);
}

void Session::close() {
    if (!open_) return;
    open_ = false;
    klstatus status{};
    check("kldisconnect", kldisconnect(instance_, "", &status), status);
}

std::string Session::node() const {
    const kl_long items[] = {KL_ITEM_NODE, 0};
    std::array<char, 2 * node_field_size> buffer{};
    klstatus status{};
    check("klgetinfo", klgetinfo(instance_, "", &status, items, "", items, buffer.data()), status);
    return trimmed(bounded(buffer.data(), node_field_size));
}

bool Session::catalogue_swapped() const {
    // The question names the node: its name blank-padded to 32 characters.
    std::string qualifier = node();
    qualifier.resize(node_field_size, ' ');
    const kl_long qualifier_items[] = {KL_ITEM_NODE, 0};
    const kl_long buffer_items[] = {KL_ITEM_BYTE_ORDER, 0};
    std::array<char, 64> buffer{};
    klstatus status{};
    check("klgetinfo",
          klgetinfo(instance_, "", &status, qualifier_items, qualifier.c_str(), buffer_items,
                    buffer.data()),
          status);
    std::int32_t swapped = 0;
    std::memcpy(&swapped, buffer.data(), sizeof swapped);
    return swapped != 0;
}

Cursor::Cursor(const Session& session) {
    klstatus status{};
    check("klopencursor", klopencursor(session.instance(), "", &status, &cursor_), status);
}

Cursor::~Cursor() {
    klstatus status{};
    klclosecursor(cursor_, "", &status);
}

} // namespace klcli

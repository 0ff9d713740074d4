#include "frame/status.h"

#include <algorithm>
#include <cstring>

#include "frame/format.h"
#include "frame/trace.h"

namespace kl {

std::uint32_t make_status(std::uint32_t category, std::uint32_t number) {
    const std::uint32_t cat = category & 0xFFFFu;
    trace("  MakeStatus: wErrorCat=0x%x, dwErrorCode=0x%lx", cat, number);
    switch (cat) {
    case KL_CAT_KELORA:
        if (number > 0xFFFFFFu) return KL_MAKE_RESULT(KL_CAT_CLIENT, KL_ERR_BAD_CATEGORY_NUMBER);
        trace("  SUBSYS_KELORA: wHighWord=x%x, wLowWord=x%x", (number >> 16) & 0xFFu,
              number & 0xFFFFu);
        return number;
    case KL_CAT_PPL:
        trace("  SUBSYS_PPL: wHighWord=x%x, wLowWord=x%x", 0x200u + ((number >> 16) & 0xFFu),
              number & 0xFFFFu);
        return 0x02000000u + (number & 0xFFFFFFu);
    case KL_CAT_CLIENT:
    case KL_CAT_SOCKETS:
    case 5:
    case 7:
    case KL_CAT_HOST:
        return (cat << 24) + (number & 0xFFFFu);
    default:
        return KL_MAKE_RESULT(KL_CAT_CLIENT, KL_ERR_UNKNOWN_CATEGORY);
    }
}

void set_local_status(klstatus& status, std::int32_t number, std::int32_t info, const char* text) {
    status.error = number;
    status.warn = 0;
    status.info = info;
    copy_text(status.buffer, text);
}

// Walks the option text and returns where its copy ends: the first
// semicolon outside quotes, or the terminator.
std::size_t option_text_length(const char* source) {
    if (source == nullptr) return 0;
    char quote = '\0';
    std::size_t i = 0;
    for (; source[i] != '\0'; ++i) {
        const char c = source[i];
        if (quote != '\0') {
            if (c == quote) quote = '\0';
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            break;
        }
    }
    return i;
}

void copy_option_text(std::span<char> dest, const char* source) {
    if (dest.empty()) return;
    const std::size_t n = source ? std::min(option_text_length(source), dest.size()) : 0;
    if (n > 0) std::memcpy(dest.data(), source, n);
    std::fill(dest.begin() + static_cast<std::ptrdiff_t>(n), dest.end(), '\0');
}

} // namespace kl

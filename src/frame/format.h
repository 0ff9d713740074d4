// Bounded text formatting for trace lines and context texts.
//
// The format strings are printf-style with the conversions the library's
// trace lines use: %d %i %u %x %X %c %s and %%, with the flags '-' and '0',
// a width, a precision (%.80s reads at most 80 characters of its text),
// and the size prefix 'l', which changes nothing: every integer is 32 bits
// wide, as the Windows formatter treats `long`; a null text prints as
// empty.  Arguments are collected with their types, so no conversion ever
// reads an argument of another width; a conversion without a matching
// argument prints nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

namespace kl {

class FormatArg {
  public:
    template <class T>
    requires std::is_integral_v<T> || std::is_enum_v<T> FormatArg(T value)
        : integer_(static_cast<std::int64_t>(value)) {}
    FormatArg(const char* text) : text_(text), is_text_(true) {}
    FormatArg(char* text) : text_(text), is_text_(true) {}

    bool is_text() const { return is_text_; }
    std::int64_t integer() const { return integer_; }
    const char* text() const { return text_; }

  private:
    std::int64_t integer_ = 0;
    const char* text_ = nullptr;
    bool is_text_ = false;
};

// Formats into out, cut to out.size() - 1 characters and NUL-terminated
// (out must not be empty).  Returns the characters stored.
std::size_t format_into(std::span<char> out, const char* format, std::span<const FormatArg> args);

template <class... Args>
std::size_t format_text(std::span<char> out, const char* format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return format_into(out, format, {});
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return format_into(out, format, list);
    }
}

// Copies a text into a fixed field: at most dest.size() - 1 characters,
// always NUL-terminated, the rest of the field zeroed.  A null source
// counts as empty.
void copy_text(std::span<char> dest, const char* source);

// Length of a text that may be null (then 0).
std::size_t text_length(const char* text);

// Length of a text, looking at no more than limit characters.
std::size_t bounded_length(const char* text, std::size_t limit);

// Reads a decimal number the way the C library's atoi does: leading blanks,
// an optional sign, then digits up to the first non-digit; no digits give
// 0.  The value wraps modulo 2^32 instead of overflowing.  Null gives 0.
std::int32_t read_decimal(const char* text);

// Letter case folding of the C locale, for keywords and names.
char upper_char(char c);
// True when both texts are equal without regard to letter case (null
// counts as empty).
bool equal_ignoring_case(const char* a, const char* b);

} // namespace kl

#include "frame/format.h"

#include <algorithm>
#include <cstring>

namespace kl {
namespace {

// Appends to a bounded output; characters past the end are dropped.
class Sink {
  public:
    explicit Sink(std::span<char> out) : out_(out) {}

    void put(char c) {
        if (used_ + 1 < out_.size()) out_[used_++] = c;
    }
    void put_run(char c, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            put(c);
    }
    void put_text(const char* text, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            put(text[i]);
    }
    std::size_t finish() {
        out_[used_] = '\0';
        return used_;
    }

  private:
    std::span<char> out_;
    std::size_t used_ = 0;
};

struct Conversion {
    bool left = false;
    bool zero = false;
    std::size_t width = 0;
    bool has_precision = false;
    std::size_t precision = 0;
};

void put_padded(Sink& sink, const Conversion& conversion, const char* body, std::size_t length,
                bool numeric) {
    const std::size_t pad = conversion.width > length ? conversion.width - length : 0;
    if (conversion.left) {
        sink.put_text(body, length);
        sink.put_run(' ', pad);
        return;
    }
    if (conversion.zero && numeric) {
        // Zeros go after a sign.
        std::size_t sign = (length > 0 && body[0] == '-') ? 1 : 0;
        sink.put_text(body, sign);
        sink.put_run('0', pad);
        sink.put_text(body + sign, length - sign);
        return;
    }
    sink.put_run(' ', pad);
    sink.put_text(body, length);
}

// Digits of value in the given base, most significant first.
std::size_t to_digits(std::uint32_t value, unsigned base, bool upper, char* out) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[16];
    std::size_t n = 0;
    do {
        reversed[n++] = digits[value % base];
        value /= base;
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = reversed[n - 1 - i];
    return n;
}

} // namespace

std::size_t format_into(std::span<char> out, const char* format, std::span<const FormatArg> args) {
    if (out.empty()) return 0;
    Sink sink(out);
    if (format == nullptr) return sink.finish();
    std::size_t next_arg = 0;
    auto take = [&]() -> const FormatArg* {
        return next_arg < args.size() ? &args[next_arg++] : nullptr;
    };

    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            sink.put(*p);
            continue;
        }
        const char* start = p;
        ++p;
        Conversion conversion;
        for (;; ++p) {
            if (*p == '-')
                conversion.left = true;
            else if (*p == '0')
                conversion.zero = true;
            else
                break;
        }
        while (*p >= '0' && *p <= '9')
            conversion.width = conversion.width * 10 + static_cast<std::size_t>(*p++ - '0');
        if (*p == '.') {
            conversion.has_precision = true;
            ++p;
            while (*p >= '0' && *p <= '9')
                conversion.precision =
                    conversion.precision * 10 + static_cast<std::size_t>(*p++ - '0');
        }
        while (*p == 'l' || *p == 'h')
            ++p;

        char body[40];
        switch (*p) {
        case '%':
            sink.put('%');
            break;
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': {
            const FormatArg* arg = take();
            if (arg == nullptr || arg->is_text()) break;
            // Integers are 32 bits wide, as the Windows formatter reads them.
            const auto bits = static_cast<std::uint32_t>(arg->integer());
            std::size_t n = 0;
            if (*p == 'd' || *p == 'i') {
                const auto value = static_cast<std::int32_t>(bits);
                std::uint32_t magnitude = bits;
                if (value < 0) {
                    body[n++] = '-';
                    magnitude = 0u - bits;
                }
                n += to_digits(magnitude, 10, false, body + n);
            } else if (*p == 'u') {
                n = to_digits(bits, 10, false, body);
            } else {
                n = to_digits(bits, 16, *p == 'X', body);
            }
            // A precision of 0 prints a zero value as nothing ("%.ld").
            if (conversion.has_precision && conversion.precision == 0 && bits == 0) n = 0;
            // Otherwise the precision is the least number of digits,
            // zero-filled after any sign ("%.5ld" of -3 is -00003).
            const std::size_t sign = (n > 0 && body[0] == '-') ? 1 : 0;
            const std::size_t digits = n - sign;
            const std::size_t wanted = std::min<std::size_t>(conversion.precision, sizeof body - 1);
            if (conversion.has_precision && wanted > digits) {
                const std::size_t fill = wanted - digits;
                std::memmove(body + sign + fill, body + sign, digits);
                std::memset(body + sign, '0', fill);
                n += fill;
            }
            put_padded(sink, conversion, body, n, true);
            break;
        }
        case 'c': {
            const FormatArg* arg = take();
            if (arg == nullptr || arg->is_text()) break;
            body[0] = static_cast<char>(arg->integer());
            put_padded(sink, conversion, body, 1, false);
            break;
        }
        case 's': {
            const FormatArg* arg = take();
            if (arg == nullptr) break;
            // A null text counts as empty, as it does everywhere in the library.
            const char* text = arg->is_text() ? arg->text() : nullptr;
            if (text == nullptr) text = "";
            const std::size_t n = conversion.has_precision
                                      ? bounded_length(text, conversion.precision)
                                      : std::strlen(text);
            put_padded(sink, conversion, text, n, false);
            break;
        }
        case '\0':
            // A lone '%' at the end is printed as it stands.
            sink.put_text(start, static_cast<std::size_t>(p - start));
            --p;
            break;
        default:
            sink.put_text(start, static_cast<std::size_t>(p - start + 1));
            break;
        }
    }
    return sink.finish();
}

void copy_text(std::span<char> dest, const char* source) {
    if (dest.empty()) return;
    const std::size_t n = source ? bounded_length(source, dest.size() - 1) : 0;
    if (n > 0) std::memcpy(dest.data(), source, n);
    std::fill(dest.begin() + static_cast<std::ptrdiff_t>(n), dest.end(), '\0');
}

std::size_t text_length(const char* text) {
    return text ? std::strlen(text) : 0;
}

std::size_t bounded_length(const char* text, std::size_t limit) {
    if (text == nullptr) return 0;
    const void* end = std::memchr(text, '\0', limit);
    return end ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : limit;
}

std::int32_t read_decimal(const char* text) {
    if (text == nullptr) return 0;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

char upper_char(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equal_ignoring_case(const char* a, const char* b) {
    if (a == nullptr) a = "";
    if (b == nullptr) b = "";
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (upper_char(*a) != upper_char(*b)) return false;
    }
    return *a == *b;
}

} // namespace kl

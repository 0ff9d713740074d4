// The bounded formatter behind trace lines and context texts.

#include <gtest/gtest.h>

#include <string>

#include "frame/format.h"

namespace kl {
namespace {

template <class... Args> std::string fmt(const char* format, const Args&... args) {
    char out[256];
    format_text(out, format, args...);
    return out;
}

TEST(Format, ConversionsOfTheTraceLines) {
    EXPECT_EQ(fmt("  EXIT_DLL return status=0x%lx\n", 0x4652u),
              "  EXIT_DLL return status=0x4652\n");
    EXPECT_EQ(fmt("%ld|%d|%u", -5, 17, 42u), "-5|17|42");
    EXPECT_EQ(fmt("%x|%X", 0xBEEFu, 0xBEEFu), "beef|BEEF");
    EXPECT_EQ(fmt("[%7s]", "1.6.25"), "[ 1.6.25]");
    EXPECT_EQ(fmt("[%-4s]", "ab"), "[ab  ]");
    EXPECT_EQ(fmt("%02d:%02d", 5, 30), "05:30");
    EXPECT_EQ(fmt("%.3s", "abcdef"), "abc");
    EXPECT_EQ(fmt("100%%"), "100%");
    EXPECT_EQ(fmt("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(fmt("[%s]", static_cast<const char*>(nullptr)), "[]"); // null counts as empty
    // Precision: the least number of digits (none for a zero at precision
    // 0), and the most bytes of a text read, terminator or not.
    EXPECT_EQ(fmt("entry=%.ld|%.ld", 0, 7), "entry=|7");
    EXPECT_EQ(fmt("%.5ld|%.5ld|%.5ld", 61, -3, 123456), "00061|-00003|123456");
    EXPECT_EQ(fmt("%.3x", 0xAu), "00a");
    const char field[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(fmt("%.4s|", field), "wxyz|");
}

TEST(Format, IntegersAreThirtyTwoBitsWide) {
    // A negative number shown with %x or %lx is its 32-bit pattern, as the
    // Windows formatter shows a long.
    EXPECT_EQ(fmt("%lx", -1), "ffffffff");
    EXPECT_EQ(fmt("%ld", std::int64_t{0x100000005}), "5");
    EXPECT_EQ(fmt("%d", std::int32_t{-2147483647 - 1}), "-2147483648");
}

TEST(Format, MissingArgumentsPrintNothingAndOutputIsCut) {
    EXPECT_EQ(fmt("a=%d b=%s", 1), "a=1 b=");
    char small[6];
    EXPECT_EQ(format_text(small, "%s", "abcdefgh"), 5u);
    EXPECT_STREQ(small, "abcde");
}

TEST(CopyText, CutsTerminatesAndZeroFills) {
    char field[6];
    std::fill(std::begin(field), std::end(field), 'Q');
    copy_text(field, "abcdefgh");
    EXPECT_STREQ(field, "abcde");
    copy_text(field, "ab");
    EXPECT_EQ(std::string(field, 6), std::string("ab\0\0\0\0", 6));
    copy_text(field, nullptr);
    EXPECT_EQ(field[0], '\0');
}

} // namespace
} // namespace kl

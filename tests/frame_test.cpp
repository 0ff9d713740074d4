// The call frame on its own: result codes, status fill, text copies, the
// bounded formatter, table growth and the trace log.

#include <cstring>

#include "frame/format.h"
#include "frame/status.h"
#include "library_fixture.h"

namespace kl {
namespace {

TEST(MakeStatus, ComposesCategoryAndNumber) {
    struct Case {
        std::uint32_t category, number, result;
    };
    const Case cases[] = {
        {0, 18002, 0x00004652},      {0, 0x00FFFFFF, 0x00FFFFFF},
        {0, 0x01000000, 0x01004651}, // above 24 bits: 18001 in category 1
        {0, 0xFFFFFFFF, 0x01004651}, // every negative number too
        {1, 0x12345678, 0x01005678}, {2, 0x12345678, 0x02345678},
        {5, 0x10001, 0x05000001},    {8, 0x1FFFF, 0x0800FFFF},
        {7, 1, 0x07000001},          {4, 1, 0x01004653},
        {6, 1, 0x01004653},          {9, 1, 0x01004653},
        {0x10003, 5, 0x03000005}, // the category is its low 16 bits
    };
    for (const Case& c : cases)
        EXPECT_EQ(make_status(c.category, c.number), c.result)
            << "category " << c.category << " number " << c.number;
}

TEST(LocalStatus, FillsErrorWarnInfoAndTextOnly) {
    klstatus status;
    std::memset(&status, 0x7F, sizeof status);
    set_local_status(status, 11042, 77, "a context text that is much longer than thirty-five");
    EXPECT_EQ(status.error, 11042);
    EXPECT_EQ(status.info, 77);
    EXPECT_EQ(std::string(status.buffer, 36),
              std::string("a context text that is much longer \0", 36));
    EXPECT_EQ(status.count, 0x7F7F7F7F); // words 3..13 keep what they held
    set_local_status(status, 18011);
    EXPECT_EQ(std::string(status.buffer, 36), std::string(36, '\0'));
}

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
    EXPECT_EQ(fmt("%.3s", "abcdef"), "abc");
    EXPECT_EQ(fmt("100%%"), "100%");
    EXPECT_EQ(fmt("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(fmt("[%s]", static_cast<const char*>(nullptr)), "[]"); // null counts as empty
    // Precision: the least number of digits (none for a zero at precision
    // 0), and the most bytes of a text read, terminator or not.
    EXPECT_EQ(fmt("entry=%.ld|%.ld", 0, 7), "entry=|7");
    EXPECT_EQ(fmt("%.5ld|%.5ld|%.5ld", 61, -3, 123456), "00061|-00003|123456");
    const char field[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(fmt("%.4s|", field), "wxyz|");
    // Integers are 32 bits wide, as the Windows formatter shows a long.
    EXPECT_EQ(fmt("%lx", -1), "ffffffff");
    EXPECT_EQ(fmt("%ld", std::int64_t{0x100000005}), "5");
    EXPECT_EQ(fmt("%d", std::int32_t{-2147483647 - 1}), "-2147483648");
    // Missing arguments print nothing; the output is cut to its area.
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

    // The option text copy fills its field without a terminator.
    char option[81];
    option[80] = '#';
    copy_option_text(std::span(option, 80), std::string(85, 'k').c_str());
    EXPECT_EQ(std::string(option, 80), std::string(80, 'k'));
    EXPECT_EQ(option[80], '#'); // nothing written past the field
}

TEST(ControlTable, GrowsByFifteenWhenFull) {
    ControlTable<int> table;
    ASSERT_EQ(table.create(), 0);
    for (int i = 1; i <= 30; ++i) {
        auto block = new_block<int>();
        *block = i;
        std::int32_t number = -1;
        ASSERT_EQ(table.add(block, number), 0);
        ASSERT_EQ(number, i);
        EXPECT_EQ(table.highest_slot(), i < 15 ? 14 : i < 30 ? 29 : 44); // the 15th and 30th grow
    }
    for (int i = 1; i <= 30; ++i)
        EXPECT_EQ(*table.find(i), i); // kept across growth
}

TEST(Trace, TheDebugFlagDecidesWhatIsWritten) {
    test::TraceLog log;
    // Debug flag clear: nothing is written, no file is made.
    trace_state.debug_flag = 0;
    trace("transport line\n");
    trace_call("call line\n");
    EXPECT_FALSE(std::filesystem::exists(log.path));

    trace_state.debug_flag = 1;
    trace_call("call line %d\n", 7);
    EXPECT_EQ(log.text(), "call line 7\n");
    // Lines are cut at 1024 characters.
    trace("%s|", std::string(3000, 'x').c_str());
    EXPECT_EQ(log.text(), "call line 7\n" + std::string(1024, 'x'));

    // A log that cannot be opened shows a box for every line; tracing stays on.
    set_log_file("/nonexistent-directory/trace.log");
    ::testing::internal::CaptureStderr();
    trace("one\n");
    trace("two\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "VESKAPI Error: Cannot open log file!\nVESKAPI Error: Cannot open log file!\n");
    EXPECT_EQ(trace_state.debug_flag, 1);
    trace_state = {};
}

} // namespace
} // namespace kl

// The call frame: result codes, the local status fill and the option text
// copy.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/call.h"
#include "frame/status.h"

namespace kl {
namespace {

TEST(MakeStatus, ComposesCategoryAndNumber) {
    struct Case {
        std::uint32_t category, number, result;
    };
    const Case cases[] = {
        {0, 0, 0},
        {0, 18002, 0x00004652},
        {0, 0x00FFFFFF, 0x00FFFFFF},
        {0, 0x01000000, 0x01004651}, // above 24 bits: 18001 in category 1
        {0, 0xFFFFFFFF, 0x01004651}, // every negative number too
        {1, 0x12345678, 0x01005678},
        {2, 0x12345678, 0x02345678},
        {3, 10054, 0x03002746},
        {5, 0x10001, 0x05000001},
        {7, 1, 0x07000001},
        {8, 0x1FFFF, 0x0800FFFF},
        {4, 1, 0x01004653},
        {6, 1, 0x01004653},
        {9, 1, 0x01004653},
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
    EXPECT_EQ(status.warn, 0);
    EXPECT_EQ(status.info, 77);
    EXPECT_EQ(std::string(status.buffer), "a context text that is much longer ");
    EXPECT_EQ(status.buffer[35], '\0');
    EXPECT_EQ(status.count, 0x7F7F7F7F); // words 3..13 keep what they held
    set_local_status(status, 18011);
    EXPECT_EQ(std::string(status.buffer, 36), std::string(36, '\0'));
}

TEST(CopyOptionText, ALongTextFillsTheFieldWithoutATerminator) {
    const std::string source(85, 'k');
    char field[81];
    field[80] = '#';
    copy_option_text(std::span(field, 80), source.c_str());
    EXPECT_EQ(std::string(field, 80), std::string(80, 'k'));
    EXPECT_EQ(field[80], '#'); // nothing written past the field
}

} // namespace
} // namespace kl

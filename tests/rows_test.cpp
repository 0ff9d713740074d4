// Update and delete: request bytes in both byte orders, the bounds of the
// update request, and the order of the checks.

#include <gtest/gtest.h>

#include "library_fixture.h"
#include "trace_log.h"

namespace kl::test {
namespace {

using RowsTest = CursorTest;

TEST_P(RowsTest, UpdateAndDeleteRequests) {
    block().record_length = 5;
    klstatus st{};
    answer(StatusRecord{}.text("updated"));
    EXPECT_EQ(klupdate(cursor, "OPT;x", &st, "T", "A,B", "abcdefgh"), 0u);
    EXPECT_EQ(std::string(st.buffer), "updated");
    EXPECT_EQ(to_hex(request(0).payload),
              to_hex(join({head(315), text_bytes(std::string("T\0A,B\0OPT;x", 11), 256),
                           text_bytes("abcde", 5)})));
    // A server error comes back as it is; empty options are a lone NUL.
    answer(StatusRecord{}.error(4711));
    EXPECT_EQ(kldelete(cursor, "", &st, "T"), 4711u);
    EXPECT_EQ(to_hex(request(1).payload),
              to_hex(join({head(316), text_bytes("T"), text_bytes("")})));
    EXPECT_EQ(block().record_length, 5);
}

// The three texts with their NULs must fit 256 bytes and the row the 1786
// bytes behind them, however a server set the row length; the texts'
// lengths and the row together stay within 2038.
TEST_P(RowsTest, UpdateRequestBounds) {
    const std::string row(1786, 'r');
    const struct {
        const char* name;
        std::string table;
        std::int32_t record_length;
        bool sent;
    } cases[] = {
        {"texts fill the area", std::string(253, 't'), 0, true},
        {"texts one byte over the area", std::string(254, 't'), 0, false},
        {"row fills the record", "T", 1786, true},
        {"row one byte over the record", "T", 1787, false},
        {"negative row length", "T", -1, false},
        {"both full: 2039 characters", std::string(253, 't'), 1786, false},
        {"both nearly full: 2038 characters", std::string(252, 't'), 1786, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        block().record_length = c.record_length;
        const std::size_t before = sent();
        if (c.sent) answer();
        klstatus st{};
        EXPECT_EQ(klupdate(cursor, "", &st, c.table.c_str(), "", row.c_str()),
                  c.sent ? 0u : KL_ERR_STRINGS_TOO_LONG);
        if (c.sent) {
            EXPECT_EQ(request(before).payload.size(),
                      262u + static_cast<std::size_t>(c.record_length));
        } else {
            EXPECT_EQ(std::string(st.buffer), "");
            EXPECT_EQ(sent(), before);
        }
    }
}

// A form answer that announces a row too long for an update request makes
// it the cursor's row length; the update is refused, nothing is sent, and
// the connection stays usable.
TEST_P(RowsTest, HostileRowLengthFromAFormIsRefusedByUpdate) {
    char form[2048];
    klstatus st{};
    answer(StatusRecord{}.bufflen(1787));
    ASSERT_EQ(klform(cursor, "", &st, "T", "", 1, form), 0u);
    EXPECT_EQ(klupdate(cursor, "", &st, "T", "", form), KL_ERR_STRINGS_TOO_LONG);
    answer();
    EXPECT_EQ(kldelete(cursor, "", &st, "T"), 0u);
    EXPECT_EQ(sent(), 2u);
}

TEST_P(RowsTest, ChecksAndTheirOrder) {
    block().record_length = 4;
    const std::string fits(2036, 'd'); // with "" options: 2037 + 1 = 2038
    const std::string too_long(2037, 'd');
    TraceLog trace;
    klstatus st{};

    // The delete's length check comes before its trace line.
    EXPECT_EQ(kldelete(cursor, "", &st, too_long.c_str()), KL_ERR_STRINGS_TOO_LONG);
    EXPECT_EQ(trace.text().find("Function: kldelete"), std::string::npos);
    answer();
    EXPECT_EQ(kldelete(cursor, "", &st, fits.c_str()), 0u);
    EXPECT_EQ(request(0).payload.size(), 2044u);

    // The update checks the cursor first, and its trace line reads no
    // block for an invalid number.
    EXPECT_EQ(klupdate(99, "", &st, "T", "", "row"), KL_ERR_BAD_CURSOR);
    EXPECT_EQ(st.info, 99);
    EXPECT_EQ(std::string(st.buffer), "client cursor");
    EXPECT_NE(trace.text().find("  cursor=99\n  options=\n  table=T\n  columns=\n  buffer=\n"
                                "  table_len=0\n"),
              std::string::npos);
    // A row shows no more than its length, and a missing row is refused.
    EXPECT_EQ(klupdate(cursor, "", &st, "T", "", nullptr), KL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(std::string(st.buffer), "buffer");
    answer();
    EXPECT_EQ(klupdate(cursor, "", &st, "T", "", "rowXYZ"), 0u);
    EXPECT_NE(trace.text().find("  buffer=rowX\n  table_len=4\n  pcbuf.values=rowX\n"
                                "  wbuffer_len=4\n"),
              std::string::npos)
        << trace.text();

    transport_state.connected_flag = 0;
    EXPECT_EQ(klupdate(99, "", &st, "T", "", "row"), KL_ERR_BAD_CURSOR);
    EXPECT_EQ(kldelete(99, "", &st, "T"), KL_ERR_NOT_CONNECTED);
    EXPECT_EQ(klupdate(cursor, "", &st, "T", "", "row"), KL_ERR_NOT_CONNECTED);
    EXPECT_EQ(sent(), 2u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, RowsTest, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

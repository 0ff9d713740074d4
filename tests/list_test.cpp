// List and form: request bytes in both byte orders, the collection of
// records across answer records, and what a form answer copies.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "library_fixture.h"
#include "trace_log.h"

namespace kl::test {
namespace {

using ListTest = CursorTest;

TEST_P(ListTest, ListCollectsRecordsAcrossAnswers) {
    // 10 records in answers of 4, 0 (a bare status), 4 and 2; the third
    // claims 6 bytes more than it carried, which moves the offset by its
    // data only.
    answer({reply(StatusRecord{}.count(4).bufflen(40), counting_bytes(40, 0)),
            reply(StatusRecord{}.count(0)),
            reply(StatusRecord{}.count(4).bufflen(46), counting_bytes(40, 100)),
            reply(StatusRecord{}.count(2).bufflen(20), counting_bytes(20, 200))});
    std::vector<std::uint8_t> area(120, 0xEE);
    klstatus st{};
    ASSERT_EQ(kllist(cursor, "O;p", &st, "T", "A", "A>1", 10, reinterpret_cast<char*>(area.data())),
              0u);
    EXPECT_EQ(st.count, 10);
    EXPECT_EQ(st.bufflen, 100);
    EXPECT_EQ(
        to_hex(Bytes(area.begin(), area.begin() + 101)),
        to_hex(join(
            {counting_bytes(40, 0), counting_bytes(40, 100), counting_bytes(20, 200), {0xEE}})));
    EXPECT_EQ(to_hex(request(0).payload),
              to_hex(join({head(318), num(10), text_bytes("T"), text_bytes("A"), text_bytes("A>1"),
                           text_bytes("O;p")})));

    // A server error ends the collection with the totals so far.
    answer({reply(StatusRecord{}.count(2).bufflen(20), counting_bytes(20, 0)),
            reply(StatusRecord{}.error(11032).text("end"))});
    EXPECT_EQ(kllist(cursor, "", &st, "T", "", "", 5, reinterpret_cast<char*>(area.data())),
              11032u);
    EXPECT_EQ(st.count, 2);
    EXPECT_EQ(st.bufflen, 20);
    EXPECT_EQ(std::string(st.buffer), "end");
}

TEST_P(ListTest, ListOfNoRecordsReadsNoAnswer) {
    klstatus st{};
    st.warn = 7;
    std::strcpy(st.buffer, "kept");
    EXPECT_EQ(kllist(cursor, "", &st, "T", "", "", 0, nullptr), 0u);
    EXPECT_EQ(st.count, 0);
    EXPECT_EQ(st.bufflen, 0);
    EXPECT_EQ(st.warn, 7);
    EXPECT_EQ(std::string(st.buffer), "kept");
    EXPECT_EQ(request(0).payload.size(), 10u + 5u);
    // The connection is in step: the next answer belongs to the next call.
    answer(StatusRecord{}.text("deleted"));
    EXPECT_EQ(kldelete(cursor, "", &st, "T"), 0u);
    EXPECT_EQ(std::string(st.buffer), "deleted");
}

TEST_P(ListTest, FormRequestAndRowLength) {
    block().record_length = 9;
    char form[40];
    klstatus st{};
    answer(StatusRecord{}.bufflen(12), counting_bytes(12, 1));
    answer(StatusRecord{}.error(3001).bufflen(4), counting_bytes(4, 50));
    ASSERT_EQ(klform(cursor, "F;g", &st, "T", "A,B", 0x01020304, form), 0u);
    EXPECT_EQ(to_hex(request(0).payload), to_hex(join({head(319), num(0x01020304), text_bytes("T"),
                                                       text_bytes("A,B"), text_bytes("F;g")})));
    EXPECT_EQ(to_hex(Bytes(form, form + 12)), to_hex(counting_bytes(12, 1)));
    EXPECT_EQ(block().record_length, 12);

    // A refused form still copies its data but keeps the row length.
    EXPECT_EQ(klform(cursor, "", &st, "T", "", 2, form), 3001u);
    EXPECT_EQ(to_hex(Bytes(form, form + 4)), to_hex(counting_bytes(4, 50)));
    EXPECT_EQ(block().record_length, 12);
}

// A bufflen that describes the data area copies that many bytes (zeros
// where the answer was shorter); one below 0 or beyond the 1956-byte area
// copies only what arrived.  Nothing lands past that in the caller's area,
// and an over-long answer leaves the connection in step.
TEST_P(ListTest, FormCopiesOnlyWhatTheAnswerCanHold) {
    struct Case {
        const char* name;
        std::int32_t bufflen;
        std::size_t data_sent;
        std::size_t copied;
        std::size_t zeros; // of the copied bytes, at the end
    };
    const Case cases[] = {
        {"announced less than sent", 10, 20, 10, 0},
        {"announced more than sent", 30, 10, 30, 20},
        {"negative", -1, 20, 20, 0},
        {"beyond the area, short answer", 5000, 100, 100, 0},
        {"beyond the area, long answer", 5000, 3000, 1956, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> form(4000, 0xEE);
        answer(StatusRecord{}.bufflen(c.bufflen), Bytes(c.data_sent, 0x41));
        klstatus st{};
        ASSERT_EQ(klform(cursor, "", &st, "T", "", 1, reinterpret_cast<char*>(form.data())), 0u);
        EXPECT_EQ(std::count(form.begin(), form.end(), 0x41), c.copied - c.zeros);
        EXPECT_EQ(std::count(form.begin(), form.end(), 0x00), c.zeros);
        EXPECT_EQ(form[c.copied], 0xEE);
        EXPECT_EQ(block().record_length, c.bufflen);
    }
    answer(StatusRecord{}.text("next"));
    klstatus st{};
    EXPECT_EQ(kldelete(cursor, "", &st, "T"), 0u);
    EXPECT_EQ(std::string(st.buffer), "next");
}

TEST_P(ListTest, ChecksAndTraceLines) {
    const std::string too_long(2036, 'c'); // with three more NULs: 2039
    TraceLog trace;
    klstatus st{};
    char area[8];
    EXPECT_EQ(kllist(cursor, "", &st, "T", too_long.c_str(), "", 1, area), KL_ERR_STRINGS_TOO_LONG);
    EXPECT_EQ(klform(cursor, "", &st, too_long.c_str(), "", 1, area), KL_ERR_STRINGS_TOO_LONG);
    EXPECT_EQ(trace.text().find("\nFunction: kl"), std::string::npos);
    EXPECT_EQ(kllist(0, "", &st, "T", "", "", 1, area), KL_ERR_BAD_CURSOR);
    EXPECT_EQ(kllist(cursor, "", &st, "T", "", "", 1, nullptr), KL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(klform(cursor, "", &st, "T", "", 0, nullptr), KL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(std::string(st.buffer), "buffer");
    EXPECT_NE(trace.text().find("  columns=\n  list_entry=\n"), std::string::npos);
    EXPECT_EQ(sent(), 0u);
    transport_state.connected_flag = 0;
    EXPECT_EQ(klform(cursor, "", &st, "T", "", 0, area), KL_ERR_NOT_CONNECTED);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ListTest, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

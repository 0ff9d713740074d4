// The library against the reference server: connect, cursors, selection
// and fetch, in each of the server's modes.
#include <cstring>

#include "server_fixture.h"

namespace kl::test {
namespace {

TEST_P(ServerTest, SelectsAndFetchesEveryRowAcrossAnswerRecords) {
    const kl_long instance = connect();
    const kl_long cursor = open_cursor(instance);
    // customers: id INTEGER (32 in character form), name CHAR(24), city
    // CHAR(16), since DATE (8).
    const klstatus st = select(cursor, "customers", "*", "", "CHAR");
    EXPECT_EQ(st.bufflen, 32 + 24 + 16 + 8);
    EXPECT_EQ(st.count, 200);
    // 200 records of 80 bytes take several answer records per fetch.
    const auto records = fetch_all(cursor, st.bufflen, 120);
    ASSERT_EQ(records.size(), 200u);
    EXPECT_EQ(field_text(records[0], 0, 32), "1");
    EXPECT_EQ(field_text(records[199], 0, 32), "200");
    EXPECT_EQ(field_text(records[5], 72, 8).size(), 8u); // a date YYYYMMDD

    klstatus done{};
    EXPECT_EQ(kldisconnect(instance, "", &done), 0u);
}

TEST_P(ServerTest, BinaryRecordsCarryNumbersInClientOrderAfterConversion) {
    const kl_long cursor = open_cursor(connect());
    const klstatus st = select(cursor, "products", "id,price,stock", "id <= 3");
    ASSERT_EQ(st.bufflen, 4 + 8 + 4);
    const auto records = fetch_all(cursor, st.bufflen);
    ASSERT_EQ(records.size(), 3u);
    kl_long id = 0;
    std::memcpy(&id, records[2].data(), 4);
    // Binary numbers travel in the server's order: the client converts.
    if (big_endian()) id = ltol(id, &id);
    EXPECT_EQ(id, 3);
}

TEST_P(ServerTest, FetchPastTheEndReportsNoMoreRecords) {
    const kl_long cursor = open_cursor(connect());
    const klstatus sel = select(cursor, "products", "name", "id = 1");
    std::vector<char> area(static_cast<std::size_t>(sel.bufflen) * 4);
    klstatus st{};
    EXPECT_EQ(klfetch(cursor, "", &st, 4, area.data()), 0u);
    EXPECT_EQ(st.count, 1);
    EXPECT_EQ(st.warn, 11032);
    EXPECT_EQ(klfetch(cursor, "", &st, 1, area.data()), 11032u);
}

TEST_P(ServerTest, ServerErrorsComeBackWithTheirText) {
    const kl_long cursor = open_cursor(connect());
    klstatus st{};
    EXPECT_EQ(klselect(cursor, "", &st, "nosuch", "*", ""), 20010u);
    EXPECT_NE(message(st).find("no such table"), std::string::npos) << message(st);
    EXPECT_EQ(klselect(cursor, "", &st, "orders", "*", "quantity >"), 20012u);
}

// Criteria and orders select the same rows in the same order on every
// backend: LIKE on numbers and dates (their text), case-blind LIKE, text
// compared bytewise, a real compared with an integer, dates as text, and
// rows equal in the ORDER column in key order, in its direction.
TEST_P(ServerTest, CriteriaAndOrdersMeanTheSameOnEveryBackend) {
    const kl_long cursor = open_cursor(connect());
    const struct {
        const char* table;
        const char* criteria;
        const char* options;
        std::vector<std::string> ids; // or, when empty, just the count
        std::size_t count;
    } cases[] = {
        {"orders", "quantity LIKE '1%'", "", {}, 162},
        {"orders", "ordered LIKE '2025-01%'", "", {}, 18},
        {"customers", "name LIKE 'ada%'", "", {}, 14},
        {"customers", "name < 'a'", "", {}, 200},
        {"orders", "quantity > 19.5", "", {}, 15},
        {"customers", "since >= '2020-01-01'", "", {}, 70},
        {"orders", "customer <= 3", "ORDER=customer", {"9", "31", "99", "236", "18", "275"}, 6},
        {"orders",
         "customer <= 3",
         "ORDER=customer DESC",
         {"275", "18", "236", "99", "31", "9"},
         6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.criteria) + " " + c.options);
        const klstatus st =
            select(cursor, c.table, "id", c.criteria, (std::string("CHAR ") + c.options).c_str());
        std::vector<std::string> ids;
        for (const std::string& record : fetch_all(cursor, st.bufflen))
            ids.push_back(field_text(record, 0, 32));
        EXPECT_EQ(ids.size(), c.count);
        if (!c.ids.empty()) {
            EXPECT_EQ(ids, c.ids);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ServerTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::big_endian,
                                           ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

// List and form through the library against the reference server, in each
// of its modes.
#include "server_fixture.h"

namespace kl::test {
namespace {

// orders in character form: id, customer, product, quantity (32 each),
// ordered (8), note (40).
constexpr int order_length = 4 * 32 + 8 + 40;

using ListTest = ServerTest;

TEST_P(ListTest, ListsAcrossAnswerRecordsWithoutMovingTheSelection) {
    const kl_long cursor = open_cursor(connect());
    const klstatus sel = select(cursor, "products", "id", "");
    std::string product(static_cast<std::size_t>(sel.bufflen), '\0');
    klstatus st{};
    ASSERT_EQ(klfetch(cursor, "", &st, 1, product.data()), 0u);

    // 100 records of 176 bytes take ten answer records.
    std::vector<char> area(static_cast<std::size_t>(order_length) * 100);
    ASSERT_EQ(kllist(cursor, "CHAR", &st, "orders", "*", "id > 150", 100, area.data()), 0u)
        << message(st);
    EXPECT_EQ(st.count, 100);
    EXPECT_EQ(st.bufflen, order_length * 100);
    const std::string last(area.data() + order_length * 99, order_length);
    EXPECT_EQ(field_text(last, 0, 32), "250");

    // The cursor's own selection goes on where it was.
    ASSERT_EQ(klfetch(cursor, "", &st, 1, product.data()), 0u);
    std::int32_t id = 0;
    std::memcpy(&id, product.data(), 4);
    EXPECT_EQ(big_endian() ? ltol(id, &id) : id, 2);

    // Fewer rows than asked: what there is.
    klstatus rest{};
    kllist(cursor, "CHAR", &rest, "orders", "*", "id > 295", 100, area.data());
    EXPECT_EQ(rest.count, 5);
}

TEST_P(ListTest, FormShowsAListedRowForUpdate) {
    const kl_long cursor = open_cursor(connect());
    std::vector<char> area(80 * 10);
    klstatus st{};
    ASSERT_EQ(kllist(cursor, "", &st, "customers", "id,city", "id >= 10", 10, area.data()), 0u)
        << message(st);

    // Entry 3 in character form, with the columns the form asks for.
    std::string form(1956, '\0');
    ASSERT_EQ(klform(cursor, "", &st, "customers", "id,name,city", 3, form.data()), 0u)
        << message(st);
    ASSERT_EQ(st.bufflen, 32 + 24 + 16);
    form.resize(static_cast<std::size_t>(st.bufflen));
    EXPECT_EQ(field_text(form, 0, 32), "12");
    form.replace(56, 16, "Tallinn         ");
    ASSERT_EQ(klupdate(cursor, "", &st, "customers", "", form.data()), 0u) << message(st);
    EXPECT_EQ(select(cursor, "customers", "*", "city = 'Tallinn'").count, 1);
    EXPECT_EQ(select(cursor, "customers", "*", "id = 12 AND city = 'Tallinn'").count, 1);

    // Entries outside the list are refused.
    for (kl_long entry : {0, 11})
        EXPECT_EQ(klform(cursor, "", &st, "customers", "", entry, form.data()), 20014u) << entry;
}

INSTANTIATE_TEST_SUITE_P(Modes, ListTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::big_endian,
                                           ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

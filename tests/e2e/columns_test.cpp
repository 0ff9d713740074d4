// Describe and bind against the reference server: descriptions of more
// columns than one answer record carries, their numbers in the caller's
// byte order, and a layout bound back in another order and form.
#include <algorithm>
#include <cstring>

#include "server_fixture.h"

namespace kl::test {
namespace {

constexpr std::size_t description_size = 220;

std::int32_t number_at(const std::vector<char>& descriptions, int index, std::size_t offset) {
    std::int32_t v = 0;
    std::memcpy(&v, descriptions.data() + index * description_size + offset, 4);
    return v;
}

std::string text_at(const std::vector<char>& descriptions, int index, std::size_t offset) {
    const char* at = descriptions.data() + index * description_size + offset;
    return std::string(at, strnlen(at, 32));
}

class ColumnsTest : public ServerTest {
  protected:
    // A cursor on orders 1..3 joined with their customers (6 + 4 columns,
    // binary record of 64 + 52 bytes).
    kl_long joined_cursor() {
        const kl_long cursor = open_cursor(connect());
        select(cursor, "orders", "*", "id <= 3");
        klstatus st{};
        EXPECT_EQ(kljoin303(cursor, "", &st, "orders", "customer", "customers", "id"), 0u)
            << message(st);
        return cursor;
    }
    std::vector<char> describe(kl_long cursor, int room, klstatus& st) {
        std::vector<char> descriptions(description_size * static_cast<std::size_t>(room));
        EXPECT_EQ(kldescribe(cursor, "", &st, room, descriptions.data()), 0u) << message(st);
        return descriptions;
    }
};

TEST_P(ColumnsTest, DescribesEveryColumnOfAJoinedRecordInClientOrder) {
    const kl_long cursor = joined_cursor();
    klstatus st{};
    const std::vector<char> d = describe(cursor, 12, st);
    ASSERT_EQ(st.count, 10);

    struct Expected {
        const char* name;
        const char* table;
        const char* declared;
        int type, length, offset, character_length, not_null, key;
    };
    const Expected expected[] = {
        {"id", "orders", "INTEGER", 400, 4, 0, 32, 0, 1},
        {"customer", "orders", "INTEGER", 400, 4, 4, 32, 1, 0},
        {"product", "orders", "INTEGER", 400, 4, 8, 32, 1, 0},
        {"quantity", "orders", "INTEGER", 400, 4, 12, 32, 0, 0},
        {"ordered", "orders", "DATE", 1300, 8, 16, 8, 0, 0},
        {"note", "orders", "VARCHAR(40)", 201, 40, 24, 40, 0, 0},
        {"id", "customers", "INTEGER", 400, 4, 64, 32, 0, 1},
        {"name", "customers", "CHAR(24)", 100, 24, 68, 24, 1, 0},
        {"city", "customers", "CHAR(16)", 100, 16, 92, 16, 0, 0},
        {"since", "customers", "DATE", 1300, 8, 108, 8, 0, 0},
    };
    for (int k = 0; k < 10; ++k) {
        const Expected& e = expected[k];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(number_at(d, k, 0), k + 1);
        EXPECT_EQ(text_at(d, k, 4), e.name);
        EXPECT_EQ(text_at(d, k, 36), e.table);
        EXPECT_EQ(text_at(d, k, 68), e.declared);
        EXPECT_EQ(number_at(d, k, 172), e.type);
        EXPECT_EQ(number_at(d, k, 176), e.length);
        EXPECT_EQ(number_at(d, k, 180), e.offset);
        EXPECT_EQ(number_at(d, k, 184), e.character_length);
        EXPECT_EQ(number_at(d, k, 188), 1);
        EXPECT_EQ(number_at(d, k, 192), 0);
        // The sample declares its primary keys INTEGER PRIMARY KEY, which
        // SQLite reports as nullable and PostgreSQL as not null.
        EXPECT_EQ(number_at(d, k, 196), e.key && on_postgres() ? 0 : 1 - e.not_null);
        EXPECT_EQ(number_at(d, k, 200), e.key);
    }

    // Less room than columns: the server sends only as many.
    klstatus few{};
    describe(cursor, 4, few);
    EXPECT_EQ(few.count, 4);
}

TEST_P(ColumnsTest, BindSetsTheLayoutFromDescriptionsInTheirOrderAndForm) {
    const kl_long cursor = joined_cursor();
    klstatus st{};
    std::vector<char> d = describe(cursor, 10, st);

    // All ten in reverse order, in character form: two chunk records.
    std::vector<char> reversed(d.size());
    for (int k = 0; k < 10; ++k) {
        std::memcpy(reversed.data() + k * description_size, d.data() + (9 - k) * description_size,
                    description_size);
        const std::int32_t character = 1;
        std::memcpy(reversed.data() + k * description_size + 192, &character, 4);
    }
    klstatus bound{};
    ASSERT_EQ(klbind(cursor, "", &bound, 10, reversed.data()), 0u) << message(bound);
    EXPECT_EQ(bound.bufflen, 80 + 176); // customers then orders, character form
    const auto records = fetch_all(cursor, bound.bufflen);
    ASSERT_EQ(records.size(), 3u);
    // customers: since 0, city 8, name 24, id 48; orders: note 80, ordered
    // 120, quantity 128, product 160, customer 192, id 224.
    EXPECT_EQ(field_text(records[0], 224, 32), "1");
    EXPECT_EQ(field_text(records[0], 192, 32), field_text(records[0], 48, 32));
    EXPECT_EQ(field_text(records[0], 0, 8).size(), 8u);

    // An unknown column is refused after all the chunks were read: the
    // next call finds the connection in step.
    std::strcpy(reversed.data() + 7 * description_size + 4, "nosuch");
    EXPECT_EQ(klbind(cursor, "", &bound, 10, reversed.data()), 20011u);
    klstatus again{};
    describe(cursor, 10, again);
    EXPECT_EQ(again.bufflen, 256);

    // No descriptions: the selection's own layout again.
    EXPECT_EQ(klbind(cursor, "", &bound, 0, nullptr), 0u) << message(bound);
    EXPECT_EQ(bound.bufflen, 64 + 52);

    const kl_long unselected = open_cursor(connect());
    EXPECT_EQ(klbind(unselected, "", &bound, 10, reversed.data()), 20013u);
    EXPECT_EQ(kldescribe(unselected, "", &bound, 10, d.data()), 20013u);
}

INSTANTIATE_TEST_SUITE_P(Modes, ColumnsTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::big_endian,
                                           ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

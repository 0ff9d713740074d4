// The library's catalogue and index information calls against the
// reference server, in each of its modes.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "server_fixture.h"
#include "storage.h"

namespace kl::test {
namespace {

class CatalogueTest : public ServerTest {
  protected:
    // A catalogue request; the status, with the answer's data in buffer.
    klstatus info(kl_long instance, const char* options, std::vector<kl_long> qualifier_items,
                  const std::string& qualifiers, std::vector<kl_long> buffer_items) {
        qualifier_items.push_back(0);
        buffer_items.push_back(0);
        buffer.fill('\0');
        klstatus st{};
        klgetinfo(instance, options, &st, qualifier_items.data(), qualifiers.c_str(),
                  buffer_items.data(), buffer.data());
        return st;
    }
    // A number of the answer, which comes in the server's byte order.
    kl_long number(std::size_t offset) {
        std::int32_t v = 0;
        std::memcpy(&v, buffer.data() + offset, 4);
        kl_long n = v;
        if (big_endian()) n = ltol(n, &n);
        return n;
    }
    std::string name(std::size_t offset) {
        return field_text(std::string(buffer.data(), 1860), offset, 32);
    }

    std::array<char, 2048> buffer{};
};

// A 32-byte blank-padded qualifier text.
std::string padded(const std::string& text) {
    return text + std::string(32 - text.size(), ' ');
}

TEST_P(CatalogueTest, ListsTablesWithTheirColumnAndRowCounts) {
    const kl_long instance = connect();
    const klstatus st = info(instance, "", {}, "", {202, 203, 204});
    ASSERT_EQ(st.error, 0) << message(st);
    ASSERT_EQ(st.count, 3);
    EXPECT_EQ(st.bufflen, 3 * 40);
    const struct {
        const char* table;
        kl_long columns;
        kl_long rows;
    } expected[] = {{"customers", 4, 200}, {"orders", 6, sample_orders}, {"products", 4, 12}};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(name(40 * k), expected[k].table);
        EXPECT_EQ(number(40 * k + 32), expected[k].columns);
        EXPECT_EQ(number(40 * k + 36), expected[k].rows);
    }
}

TEST_P(CatalogueTest, DescribesAllColumnsOrOneColumnOfATable) {
    const kl_long instance = connect();
    const std::vector<kl_long> items = {302, 305, 306, 310, 307, 308};
    constexpr std::size_t entry = 32 + 5 * 4;
    klstatus st = info(instance, "", {202, 302}, padded("CUSTOMERS") + padded("*"), items);
    ASSERT_EQ(st.error, 0) << message(st);
    ASSERT_EQ(st.count, 4);
    const struct {
        const char* column;
        kl_long type, length, character_length;
    } expected[] = {
        {"id", 400, 4, 32}, {"name", 100, 24, 24}, {"city", 100, 16, 16}, {"since", 1300, 8, 8}};
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t at = k * entry;
        EXPECT_EQ(name(at), expected[k].column);
        EXPECT_EQ(number(at + 32), expected[k].type);
        EXPECT_EQ(number(at + 36), expected[k].length);
        EXPECT_EQ(number(at + 40), 1);
        EXPECT_EQ(number(at + 44), static_cast<kl_long>(k + 1));
        EXPECT_EQ(number(at + 48), expected[k].character_length);
    }

    st = info(instance, "", {202, 302}, padded("products") + padded("price"), items);
    ASSERT_EQ(st.count, 1) << message(st);
    EXPECT_EQ(name(0), "price");
    EXPECT_EQ(number(32), 800);
    EXPECT_EQ(number(44), 3);
}

TEST_P(CatalogueTest, RefusesWhatItCannotAnswer) {
    const kl_long instance = connect();
    const struct {
        const char* options;
        std::string qualifiers;
        kl_long item;
        int error;
    } cases[] = {
        {"", padded("nosuch") + padded("*"), 305, 20010},
        {"", padded("orders") + padded("nosuch"), 305, 20011},
        {"", padded("orders") + padded("*"), 999, 20018},
        {"SORTED", padded("orders") + padded("*"), 305, 20018},
        {"COUNT=0", padded("orders") + padded("*"), 305, 20018},
    };
    for (const auto& c : cases) {
        const klstatus st = info(instance, c.options, {202, 302}, c.qualifiers, {c.item});
        EXPECT_EQ(st.error, c.error) << c.options << " " << c.qualifiers;
        EXPECT_EQ(st.count, 0);
    }
    // A continuation with nothing before it has nothing left.
    EXPECT_EQ(info(instance, "N", {}, "", {202}).error, 11257);
}

// The way klinsert learns a row's length: 100 columns at a time, going on
// with "N" while answers come full.  Answers without COUNT hold as many
// entries as fit.
TEST_P(CatalogueTest, WideTableComesInPieces) {
    constexpr int columns = 150;
    {
        std::string sql = "CREATE TABLE wide (c1 INTEGER PRIMARY KEY";
        for (int k = 2; k <= columns; ++k)
            sql += ", c" + std::to_string(k) + " INTEGER";
        sql += ")";
        server->execute("wide", sql, true);
    }
    environment = write_environment("wide");
    const kl_long instance = connect();
    const std::string qualifiers = padded("wide") + padded("*");

    kl_long length = 0;
    std::vector<int> counts;
    for (const char* options : {"  COUNT=100", "N COUNT=100", "N COUNT=100"}) {
        const klstatus st = info(instance, options, {202, 302}, qualifiers, {305, 306, 310});
        counts.push_back(st.error == 0 ? st.count : -st.error);
        for (int k = 0; k < st.count; ++k)
            length += number(12 * static_cast<std::size_t>(k) + 4);
    }
    EXPECT_EQ(counts, (std::vector<int>{100, 50, -11257}));
    EXPECT_EQ(length, 4 * columns);

    // 32-byte entries: 58 fit an answer.
    counts.clear();
    std::vector<std::string> last_names;
    for (const char* options : {"", "N", "N", "N"}) {
        const klstatus st = info(instance, options, {202, 302}, qualifiers, {302});
        counts.push_back(st.error == 0 ? st.count : -st.error);
        if (st.error != 0) continue;
        EXPECT_EQ(st.bufflen, 32 * st.count);
        last_names.push_back(name(32 * static_cast<std::size_t>(st.count - 1)));
    }
    EXPECT_EQ(counts, (std::vector<int>{58, 58, 34, -11257}));
    EXPECT_EQ(last_names, (std::vector<std::string>{"c58", "c116", "c150"}));

    // klinsert learns the 600-byte row the same way, then sends it.
    std::vector<char> row(4 * columns);
    for (kl_long k = 0; k < columns; ++k) {
        kl_long value = k + 1;
        if (big_endian())
            ltol(value, row.data() + 4 * k);
        else
            std::memcpy(row.data() + 4 * k, &value, 4);
    }
    klstatus st{};
    ASSERT_EQ(klinsert(instance, "", &st, "wide", "", row.data()), 0u) << message(st);
    const kl_long cursor = open_cursor(instance);
    const klstatus sel = select(cursor, "wide", "c150", "c1 = 1", "CHAR");
    const auto records = fetch_all(cursor, sel.bufflen);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(field_text(records[0], 0, 32), "150");
}

TEST_P(CatalogueTest, IndexInformationNamesEachIndexAndItsColumns) {
    const kl_long instance = connect();
    // On PostgreSQL a primary key has an index of its own.
    const auto key = [](const std::string& table) {
        return on_postgres() ? std::vector<std::string>{table + "_pkey 1 1 id"}
                             : std::vector<std::string>{};
    };
    const auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        std::sort(a.begin(), a.end());
        return a;
    };
    const struct {
        const char* table;
        std::vector<std::string> indexes; // "name unique columns"
    } cases[] = {
        {"orders",
         with({"orders_customer 0 1 customer", "orders_product 0 1 product"}, key("orders"))},
        {"PRODUCTS", with({"products_name 1 1 name"}, key("products"))},
        {"customers", key("customers")},
    };
    for (const auto& c : cases) {
        buffer.fill('\0');
        klstatus st{};
        EXPECT_EQ(klgetindexinfo(instance, "", &st, c.table, buffer.data()), 0u) << message(st);
        ASSERT_EQ(st.count, static_cast<int>(c.indexes.size())) << c.table;
        EXPECT_EQ(st.bufflen, 104 * st.count);
        for (std::size_t k = 0; k < c.indexes.size(); ++k) {
            const std::size_t at = 104 * k;
            const std::string columns = field_text(std::string(buffer.data(), 1860), at + 40, 64);
            EXPECT_EQ(name(at) + " " + std::to_string(number(at + 32)) + " " +
                          std::to_string(number(at + 36)) + " " + columns,
                      c.indexes[k]);
        }
    }
    klstatus st{};
    EXPECT_EQ(klgetindexinfo(instance, "", &st, "nosuch", buffer.data()), 20010u);
}

INSTANTIATE_TEST_SUITE_P(Modes, CatalogueTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::big_endian,
                                           ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

// Join, calc and export against the reference server.
#include <cstring>
#include <fstream>
#include <sstream>

#include "server_fixture.h"
#include "storage.h"

namespace kl::test {
namespace {

using JoinCalcTest = ServerTest;

std::int32_t int_at(const std::string& record, std::size_t offset, bool big_endian) {
    kl_long v = 0;
    std::memcpy(&v, record.data() + offset, 4);
    return big_endian ? ltol(v, &v) : v;
}

std::string result_text(const char* result) {
    std::string text(result, 32);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

TEST_P(JoinCalcTest, JoinPairsEachSelectedRowWithItsMatchesInSelectionOrder) {
    const kl_long cursor = open_cursor(connect());
    select(cursor, "orders", "id,customer", "id <= 20", "ORDER=id DESC");
    klstatus st{};
    ASSERT_EQ(kljoin303(cursor, "", &st, "", "customer", "customers", "id"), 0u) << message(st);
    EXPECT_EQ(st.valuesize, 20); // every order has one customer
    EXPECT_EQ(st.bufflen, 8 + 52);
    const auto records = fetch_all(cursor, st.bufflen);
    ASSERT_EQ(records.size(), 20u);
    for (std::size_t k = 0; k < records.size(); ++k) {
        EXPECT_EQ(int_at(records[k], 0, big_endian()), static_cast<std::int32_t>(20 - k));
        EXPECT_EQ(int_at(records[k], 4, big_endian()), int_at(records[k], 8, big_endian()));
    }

    // One to many: customers 1..3 with all their orders.
    const klstatus orders = select(cursor, "orders", "id", "customer <= 3");
    select(cursor, "customers", "id", "id <= 3");
    ASSERT_EQ(kljoin303(cursor, "", &st, "customers", "id", "orders", "customer"), 0u)
        << message(st);
    EXPECT_EQ(st.valuesize, orders.count);

    EXPECT_EQ(kljoin303(cursor, "", &st, "customers", "id", "orders", "nosuch"), 20011u);
    EXPECT_EQ(kljoin303(cursor, "", &st, "customers", "id", "nosuch", "id"), 20010u);
}

TEST_P(JoinCalcTest, CalcWorksOverTheSelectedValues) {
    const kl_long cursor = open_cursor(connect());
    const klstatus sel = select(cursor, "orders", "quantity", "id <= 40");
    std::int64_t sum = 0;
    std::int32_t low = 1000, high = -1;
    for (const std::string& record : fetch_all(cursor, sel.bufflen)) {
        const std::int32_t q = int_at(record, 0, big_endian());
        sum += q;
        low = std::min(low, q);
        high = std::max(high, q);
    }
    std::ostringstream average;
    average << static_cast<double>(sum) / 40;
    const klstatus noted = select(cursor, "orders", "id", "id <= 40 AND note IS NOT NULL");
    select(cursor, "orders", "quantity", "id <= 40");

    const struct {
        const char* function;
        const char* column;
        std::string result;
        int count;
    } cases[] = {
        {"COUNT", "quantity", "40", 40},
        {"SUM", "quantity", std::to_string(sum), 40},
        {"MIN", "quantity", std::to_string(low), 40},
        {"max", "quantity", std::to_string(high), 40},
        {"AVG", "quantity", average.str(), 40},
        {"COUNT", "note", std::to_string(noted.count), noted.count}, // NULLs are not counted
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        klstatus st{};
        char result[32];
        ASSERT_EQ(klcalc(cursor, c.function, &st, "orders", c.column, result), 0u) << message(st);
        EXPECT_EQ(st.bufflen, 32);
        EXPECT_EQ(st.count, c.count);
        EXPECT_EQ(result_text(result), c.result);
    }

    klstatus st{};
    char result[32];
    EXPECT_EQ(klcalc(cursor, "MEDIAN", &st, "", "quantity", result), 20018u);
    EXPECT_EQ(klcalc(cursor, "SUM", &st, "", "note", result), 20016u);
    EXPECT_EQ(klcalc(cursor, "SUM", &st, "", "nosuch", result), 20011u);
}

TEST_P(JoinCalcTest, ExportWritesTheSelectionAsCsvInTheExportFolder) {
    server->execute("sales", "UPDATE products SET name = 'Bolt, \"long\"' WHERE id = 1");
    const kl_long cursor = open_cursor(connect());
    select(cursor, "products", "id,name,stock", "id <= 2");
    klstatus st{};
    ASSERT_EQ(klexport(cursor, "", &st, "TEST", "products.csv"), 0u) << message(st);
    EXPECT_EQ(st.count, 2);
    std::ifstream file(dir / "exports" / "products.csv");
    std::string header, first, second, more;
    std::getline(file, header);
    std::getline(file, first);
    std::getline(file, second);
    EXPECT_EQ(header, "id,name,stock");
    EXPECT_EQ(first.rfind("1,\"Bolt, \"\"long\"\"\",", 0), 0u) << first;
    EXPECT_EQ(second.rfind("2,Brass hinge,", 0), 0u) << second;
    EXPECT_FALSE(std::getline(file, more));

    ASSERT_EQ(klexport(cursor, "HEADER=NO", &st, "TEST", "bare.csv"), 0u) << message(st);
    std::ifstream bare(dir / "exports" / "bare.csv");
    std::getline(bare, first);
    EXPECT_EQ(first.rfind("1,", 0), 0u) << first;

    for (const char* name : {"../escape.csv", ".hidden", "sub/file.csv", ""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(klexport(cursor, "", &st, "TEST", name), 20020u);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "escape.csv"));
    EXPECT_EQ(klexport(cursor, "FORMAT=XML", &st, "TEST", "x.csv"), 20018u);
}

INSTANTIATE_TEST_SUITE_P(Modes, JoinCalcTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::big_endian,
                                           ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

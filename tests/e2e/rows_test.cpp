// Insert, update and delete through the library against the reference
// server, in each of its modes.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "server_fixture.h"

namespace kl::test {
namespace {

// products: id INTEGER PRIMARY KEY, name VARCHAR(30) NOT NULL (unique),
// price FLOAT, stock INTEGER.
constexpr int products_binary = 4 + 30 + 8 + 4;
constexpr int products_character = 32 + 30 + 32 + 32;

template <typename T> T swapped(T v) {
    auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(v);
    std::reverse(bytes.begin(), bytes.end());
    return std::bit_cast<T>(bytes);
}

class RowsTest : public ServerTest {
  protected:
    // Binary numbers travel in the server's byte order, untouched by the
    // library.
    void put_int(std::string& record, std::size_t at, std::uint32_t v) const {
        if (big_endian()) v = swapped(v);
        std::memcpy(record.data() + at, &v, 4);
    }
    void put_double(std::string& record, std::size_t at, double d) const {
        auto v = std::bit_cast<std::uint64_t>(d);
        if (big_endian()) v = swapped(v);
        std::memcpy(record.data() + at, &v, 8);
    }
    std::int32_t get_int(const std::string& record, std::size_t at) const {
        std::uint32_t v = 0;
        std::memcpy(&v, record.data() + at, 4);
        return static_cast<std::int32_t>(big_endian() ? swapped(v) : v);
    }
    double get_double(const std::string& record, std::size_t at) const {
        std::uint64_t v = 0;
        std::memcpy(&v, record.data() + at, 8);
        return std::bit_cast<double>(big_endian() ? swapped(v) : v);
    }
    static void put_text(std::string& record, std::size_t at, std::string_view text) {
        std::memcpy(record.data() + at, text.data(), text.size());
    }
    // A products row in character form: name is a VARCHAR, NUL-padded.
    static std::string product_text(std::string_view name, std::string_view price,
                                    std::string_view stock) {
        std::string text(products_character, ' ');
        text.replace(32, 30, 30, '\0');
        put_text(text, 32, name);
        put_text(text, 62, price);
        put_text(text, 94, stock);
        return text;
    }
    // The one record the criteria select, in the form the options ask.
    std::string read_one(kl_long cursor, const char* table, const char* criteria,
                         const char* options = "") {
        const klstatus st = select(cursor, table, "*", criteria, options);
        EXPECT_EQ(st.count, 1) << criteria;
        const auto records = fetch_all(cursor, st.bufflen);
        return records.empty() ? std::string() : records[0];
    }
    // Selects the one record and makes it the cursor's current record.
    std::string fetch_one(kl_long cursor, const char* table, const char* columns,
                          const char* criteria, const char* options = "") {
        const klstatus sel = select(cursor, table, columns, criteria, options);
        std::string record(static_cast<std::size_t>(sel.bufflen), '\0');
        klstatus st{};
        EXPECT_EQ(klfetch(cursor, "", &st, 1, record.data()), 0u) << message(st);
        return record;
    }
};

TEST_P(RowsTest, RowsInsertedInOneFormReadBackInTheOther) {
    const kl_long instance = connect();
    const kl_long cursor = open_cursor(instance);
    klstatus st{};

    // Character form, id blank: the table chooses the rowid.
    std::string text = product_text("Zinc screw", "2.5", "40");
    ASSERT_EQ(klinsert(instance, "CHAR", &st, "products", "", text.data()), 0u) << message(st);
    EXPECT_EQ(st.info, 13); // after the sample's twelve products
    std::string binary = read_one(cursor, "products", "name = 'Zinc screw'");
    ASSERT_EQ(binary.size(), std::size_t{products_binary});
    EXPECT_EQ(get_int(binary, 0), 13);
    EXPECT_EQ(field_text(binary, 4, 30), "Zinc screw");
    EXPECT_EQ(get_double(binary, 34), 2.5);
    EXPECT_EQ(get_int(binary, 42), 40);

    // Binary form, only some columns named: stock stays NULL.
    binary.assign(products_binary, '\0');
    put_int(binary, 0, 500);
    put_text(binary, 4, "Wing nut");
    put_double(binary, 34, 7.25);
    put_int(binary, 42, 99);
    ASSERT_EQ(klinsert(instance, "", &st, "products", "id name,price", binary.data()), 0u)
        << message(st);
    EXPECT_EQ(st.info, 500);
    text = read_one(cursor, "products", "id = 500", "CHAR");
    EXPECT_EQ(field_text(text, 32, 30), "Wing nut");
    EXPECT_EQ(field_text(text, 62, 32), "7.25");
    EXPECT_EQ(field_text(text, 94, 32), ""); // NULL
    EXPECT_EQ(select(cursor, "products", "*", "stock IS NULL").count, 1);
}

TEST_P(RowsTest, InsertRefusesWhatTheTableDoesNotTake) {
    const kl_long instance = connect();
    const struct {
        const char* name;
        const char* price;
        uint32_t error;
    } cases[] = {
        {"Hex nut", "1", 20017},    // the unique name is taken
        {"Spring pin", "x", 20016}, // not a number
    };
    for (const auto& c : cases) {
        const std::string text = product_text(c.name, c.price, "");
        klstatus st{};
        EXPECT_EQ(klinsert(instance, "CHAR", &st, "products", "", text.data()), c.error) << c.name;
    }
    const std::string text = product_text("Spring pin", "1", "");
    klstatus st{};
    EXPECT_EQ(klinsert(instance, "CHAR", &st, "products", "colour", text.data()), 20011u);
}

// A table with no integer key to find its rows by again (SQLite: WITHOUT
// ROWID; PostgreSQL: no one-column integer primary key) takes inserts,
// answered with key 0, and refuses selections rather than reach a row by
// a key that is not its own.
TEST_P(RowsTest, ATableWithoutARowKeyTakesInsertsAndRefusesSelections) {
    server->execute(
        "sales", on_postgres() ? "CREATE TABLE nokey (name VARCHAR(10))"
                               : "CREATE TABLE nokey (name VARCHAR(10) PRIMARY KEY) WITHOUT ROWID");
    const kl_long instance = connect();
    std::string row(10, '\0');
    put_text(row, 0, "bolt");
    klstatus st{};
    EXPECT_EQ(klinsert(instance, "", &st, "nokey", "", row.data()), 0u) << message(st);
    EXPECT_EQ(st.info, 0);
    const kl_long cursor = open_cursor(instance);
    EXPECT_EQ(klselect(cursor, "", &st, "nokey", "*", ""), 20030u);
}

TEST_P(RowsTest, UpdatesTheFetchedRecordInEitherForm) {
    const kl_long cursor = open_cursor(connect());
    klstatus st{};

    // Character form; only the named column is written.
    std::string record = fetch_one(cursor, "customers", "id,name,city", "id = 5", "CHAR");
    record.replace(32, 24, std::string(24, ' ')).replace(32, 4, "Nemo");
    record.replace(56, 16, std::string(16, ' ')).replace(56, 4, "Riga");
    ASSERT_EQ(klupdate(cursor, "", &st, "CUSTOMERS", "city", record.data()), 0u) << message(st);
    const std::string customer = read_one(cursor, "customers", "id = 5", "CHAR");
    EXPECT_EQ(field_text(customer, 56, 16), "Riga");
    EXPECT_NE(field_text(customer, 32, 24), "Nemo");

    // Binary form, every field of the record.
    record = fetch_one(cursor, "products", "stock,price", "id = 3");
    put_int(record, 0, 1234);
    put_double(record, 4, 0.5);
    ASSERT_EQ(klupdate(cursor, "", &st, "products", "", record.data()), 0u) << message(st);
    const std::string product = read_one(cursor, "products", "id = 3");
    EXPECT_EQ(get_int(product, 42), 1234);
    EXPECT_EQ(get_double(product, 34), 0.5);
}

TEST_P(RowsTest, DeletesTheCurrentRecordOnce) {
    const kl_long cursor = open_cursor(connect());
    klstatus st{};
    select(cursor, "orders", "*", "id = 7");
    // Nothing fetched yet: no current record.
    EXPECT_EQ(kldelete(cursor, "", &st, "orders"), 20014u);
    fetch_one(cursor, "orders", "*", "id = 7");
    EXPECT_EQ(kldelete(cursor, "", &st, "customers"), 20010u);
    ASSERT_EQ(kldelete(cursor, "", &st, "orders"), 0u) << message(st);
    EXPECT_EQ(kldelete(cursor, "", &st, "orders"), 20014u);
    EXPECT_EQ(select(cursor, "orders", "*", "id = 7").count, 0);
    EXPECT_EQ(select(cursor, "orders").count, sample_orders - 1);
}

TEST_P(RowsTest, ReadOnlyInstanceRefusesEveryWrite) {
    const kl_long instance = connect("R");
    const kl_long cursor = open_cursor(instance);
    klstatus st{};
    const std::string text = product_text("Rivet", "", "");
    EXPECT_EQ(klinsert(instance, "CHAR", &st, "products", "", text.data()), 20008u);
    std::string record = fetch_one(cursor, "products", "*", "id = 1");
    EXPECT_EQ(klupdate(cursor, "", &st, "products", "", record.data()), 20008u);
    EXPECT_EQ(kldelete(cursor, "", &st, "products"), 20008u);
    EXPECT_EQ(select(cursor, "products").count, 12);
}

INSTANTIATE_TEST_SUITE_P(Modes, RowsTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::big_endian,
                                           ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

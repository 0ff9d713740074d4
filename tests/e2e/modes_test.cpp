// The calls whose numbers cross the wire in the server's byte order, in both
// orders (and standalone, the other connect path): version records, binary
// records both ways, fetch keys, column descriptions and bind forms.
#include "server_fixture.h"

namespace kl::test {
namespace {

using ModesTest = ServerTest;
using ByteOrderTest = ServerTest;

TEST_P(ModesTest, VersionsAndFetchKeys) {
    const kl_long instance = connect();
    std::array<klversion_record, 4> versions{};
    klstatus st{};
    KL_OK(klversion(instance, "", &st, "prod", 0, versions.data()));
    ASSERT_EQ(st.count, 2);
    EXPECT_STREQ(versions[0].na_name, "KLSERV");
    EXPECT_EQ(versions[0].version, 100); // converted to our order
    EXPECT_STREQ(versions[1].na_name, on_postgres() ? "PGSQL" : "SQLITE");
    char host_version[8] = {};
    EXPECT_EQ(apihostversion(host_version), 0u);
    EXPECT_EQ(std::string(host_version, 8), "KLS 1.0 ");

    const kl_long cursor = open_cursor(instance);
    // Fetch keys name the next records without moving on.
    select(cursor, "products", "id", "id <= 5");
    char keys[8 * 8], binary[2 * 4];
    KL_OK(klfetchkeys(cursor, "", &st, 3, keys));
    ASSERT_EQ(st.count, 3);
    EXPECT_EQ(get<std::int64_t>(keys + 16), 3);
    ASSERT_EQ(klfetch(cursor, "", &st, 2, binary), 0u);
    ASSERT_EQ(klfetchkeys(cursor, "", &st, 8, keys), 0u);
    ASSERT_EQ(st.count, 3); // only three are left
    EXPECT_EQ(get<std::int64_t>(keys), 3);
    EXPECT_EQ(get<std::int64_t>(keys + 16), 5);
    EXPECT_EQ(kldisconnect(instance, "", &st), 0u);
}

// products: id INTEGER PRIMARY KEY, name VARCHAR(30) NOT NULL (unique),
// price FLOAT, stock INTEGER; 46 bytes binary, 126 in character form.
TEST_P(ByteOrderTest, RowsWrittenInOneFormReadBackInTheOtherDescribedAndBound) {
    const kl_long instance = connect();
    const kl_long cursor = open_cursor(instance);
    const auto one = [&](const char* criteria, const char* options) {
        const auto records =
            fetch_all(cursor, select(cursor, "products", "*", criteria, options).bufflen);
        EXPECT_EQ(records.size(), 1u) << criteria;
        return records.empty() ? std::string() : records[0];
    };
    klstatus st{};
    // Binary form, only some columns named: stock stays NULL.
    std::string binary(46, '\0');
    put<std::int32_t>(&binary[0], 500);
    binary.replace(4, 8, "Wing nut");
    put(&binary[34], 7.25);
    put<std::int32_t>(&binary[42], 99);
    KL_OK(klinsert(instance, "", &st, "products", "id name,price", binary.data()));
    EXPECT_EQ(st.info, 500);
    const std::string row = one("id = 500", "CHAR");
    EXPECT_EQ(field_text(row, 32, 30), "Wing nut");
    EXPECT_EQ(field_text(row, 62, 32), "7.25");
    EXPECT_EQ(field_text(row, 94, 32), ""); // NULL

    // Updates of the fetched record: binary, every field; character form,
    // only the named column.
    char record[12];
    select(cursor, "products", "stock,price", "id = 3");
    ASSERT_EQ(klfetch(cursor, "", &st, 1, record), 0u);
    put<std::int32_t>(record, 1234);
    put(record + 4, 0.5);
    KL_OK(klupdate(cursor, "", &st, "products", "", record));
    binary = one("id = 3", "");
    EXPECT_EQ(get<std::int32_t>(&binary[42]), 1234);
    EXPECT_EQ(get<double>(&binary[34]), 0.5);
    std::string customer(72, ' ');
    select(cursor, "customers", "id,name,city", "id = 5", "CHAR");
    ASSERT_EQ(klfetch(cursor, "", &st, 1, customer.data()), 0u);
    customer.replace(32, 24, "Nemo" + std::string(20, ' '))
        .replace(56, 16, "Riga" + std::string(12, ' '));
    KL_OK(klupdate(cursor, "", &st, "CUSTOMERS", "city", customer.data()));
    EXPECT_EQ(ids(cursor, "customers", "city = 'Riga' AND name <> 'Nemo'"),
              std::vector<std::string>{"5"});

    // Descriptions of a joined record (more than one answer record holds),
    // in the caller's order, and a layout bound back in another order and
    // form.
    constexpr std::size_t size = 220; // one description
    select(cursor, "orders", "*", "id <= 3");
    KL_OK(kljoin303(cursor, "", &st, "orders", "customer", "customers", "id"));
    std::vector<char> d(12 * size);
    KL_OK(kldescribe(cursor, "", &st, 12, d.data()));
    ASSERT_EQ(st.count, 10);
    const auto number = [&](int k, std::size_t at) {
        std::int32_t v = 0;
        std::memcpy(&v, &d[k * size + at], 4);
        return v;
    };
    const auto text = [&](int k, std::size_t at) { return std::string(&d[k * size + at]); };
    const struct {
        const char *name, *table, *declared;
        int type, length, offset, character_length, not_null, key;
    } expected[] = {
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
        const auto& e = expected[k];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(number(k, 0), k + 1);
        EXPECT_EQ(text(k, 4), e.name);
        EXPECT_EQ(text(k, 36), e.table);
        EXPECT_EQ(text(k, 68), e.declared);
        const int numbers[] = {e.type, e.length, e.offset, e.character_length, 1, 0};
        for (std::size_t n = 0; n < 6; ++n)
            EXPECT_EQ(number(k, 172 + 4 * n), numbers[n]) << n;
        // The sample's INTEGER PRIMARY KEYs: nullable on SQLite, not on
        // PostgreSQL.
        EXPECT_EQ(number(k, 196), e.key && on_postgres() ? 0 : 1 - e.not_null);
        EXPECT_EQ(number(k, 200), e.key);
    }
    // Less room than columns: the server sends only as many.
    ASSERT_EQ(kldescribe(cursor, "", &st, 4, d.data()), 0u);
    EXPECT_EQ(st.count, 4);
    ASSERT_EQ(kldescribe(cursor, "", &st, 10, d.data()), 0u);

    // All ten in reverse order, in character form: two chunk records.
    std::vector<char> reversed(d.size());
    for (int k = 0; k < 10; ++k) {
        std::memcpy(&reversed[k * size], &d[(9 - k) * size], size);
        const std::int32_t character = 1;
        std::memcpy(&reversed[k * size + 192], &character, 4);
    }
    KL_OK(klbind(cursor, "", &st, 10, reversed.data()));
    EXPECT_EQ(st.bufflen, 80 + 176); // customers then orders, character form
    const auto records = fetch_all(cursor, st.bufflen);
    ASSERT_EQ(records.size(), 3u);
    // customers: since 0, city 8, name 24, id 48; orders: note 80, ordered
    // 120, quantity 128, product 160, customer 192, id 224.
    EXPECT_EQ(field_text(records[0], 224, 32), "1");
    EXPECT_EQ(field_text(records[0], 192, 32), field_text(records[0], 48, 32));

    // An unknown column is refused after all the chunks were read: the
    // next call finds the connection in step.
    std::strcpy(&reversed[7 * size + 4], "nosuch");
    EXPECT_EQ(klbind(cursor, "", &st, 10, reversed.data()), 20011u);
    ASSERT_EQ(kldescribe(cursor, "", &st, 10, d.data()), 0u);
    EXPECT_EQ(st.bufflen, 256);
    // No descriptions: the selection's own layout again.
    EXPECT_EQ(klbind(cursor, "", &st, 0, nullptr), 0u) << message(st);
    EXPECT_EQ(st.bufflen, 64 + 52);
}

KL_SERVER_MODES(ModesTest, ServerMode::little_endian, ServerMode::big_endian,
                ServerMode::standalone);
KL_SERVER_MODES(ByteOrderTest, ServerMode::little_endian, ServerMode::big_endian);

} // namespace
} // namespace kl::test

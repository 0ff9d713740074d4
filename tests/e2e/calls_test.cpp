// What the reference server does with the library's calls, in one mode (the
// numbers' order is modes_test's).
#include "server_fixture.h"

namespace kl::test {
namespace {

using CallsTest = ServerTest;

// Criteria and orders select the same rows in the same order on every
// backend (rows equal in the ORDER column come in key order, in its
// direction); a join counts its pairs, one to many; list leaves the
// selection as it was.
TEST_P(CallsTest, SelectionsCalcExportFormCommandsAndTheCatalogue) {
    const kl_long instance = connect();
    const kl_long cursor = open_cursor(instance);
    const struct {
        const char *table, *criteria, *options;
        int count;
        const char* ids = nullptr; // in this order, when given
    } cases[] = {
        {"orders", "quantity LIKE '1%'", "", 162},
        {"orders", "ordered LIKE '2025-01%'", "", 18},
        {"customers", "name LIKE 'ada%'", "", 14},
        {"customers", "name < 'a'", "", 200},
        {"orders", "quantity > 19.5", "", 15},
        {"customers", "since >= '2020-01-01'", "", 70},
        {"orders", "customer <= 3", "ORDER=customer", 6, "9 31 99 236 18 275 "},
        {"orders", "customer <= 3", "ORDER=customer DESC", 6, "275 18 236 99 31 9 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.criteria) + " " + c.options);
        std::string listed;
        for (const std::string& id : ids(cursor, c.table, c.criteria, c.options))
            listed += id + " ";
        EXPECT_EQ(std::ranges::count(listed, ' '), c.count);
        EXPECT_TRUE(!c.ids || listed == c.ids) << listed;
    }

    const auto any = ids(cursor, "orders", "customer = 3 OR customer = 5");
    const auto big = ids(cursor, "orders", "(customer = 3 OR customer = 5) AND quantity > 10");
    ASSERT_GT(any.size(), big.size());

    const klstatus sel = select(cursor, "orders", "id", "customer = ?", "CHAR");
    EXPECT_EQ(sel.valuesize, 32); // one 32-byte text per placeholder
    EXPECT_EQ(sel.count, 0);      // nothing until values come
    std::string values = "3" + std::string(31, ' ') + "5" + std::string(31, ' ');
    klstatus st{};
    KL_OK(klassignvalues(cursor, "", &st, "CUSTOMER", 2, values.data()));
    EXPECT_EQ(st.count, static_cast<int>(any.size()));
    KL_OK(klqualify(cursor, "", &st, "", "orders", "", "quantity > 10"));
    EXPECT_EQ(st.valuesize, static_cast<int>(big.size()));
    EXPECT_EQ(first_fields(fetch_all(cursor, sel.bufflen)), big);
    EXPECT_EQ(klqualify(cursor, "", &st, "", "customers", "", ""), 20010u);

    const klstatus orders = select(cursor, "orders", "id", "customer <= 3");
    select(cursor, "customers", "id", "id <= 3");
    KL_OK(kljoin303(cursor, "", &st, "customers", "id", "orders", "customer"));
    EXPECT_EQ(st.valuesize, orders.count);
    EXPECT_EQ(kljoin303(cursor, "", &st, "customers", "id", "orders", "nosuch"), 20011u);
    EXPECT_EQ(kljoin303(cursor, "", &st, "customers", "id", "nosuch", "id"), 20010u);

    select(cursor, "orders", "quantity", "id <= 40");
    // NULLs are not counted: 12 of the 40 orders have a note.
    const struct {
        const char *function, *column, *result;
        int count;
        uint32_t error;
    } calcs[] = {
        {"COUNT", "quantity", "40", 40, 0},   {"SUM", "quantity", "418", 40, 0},
        {"MIN", "quantity", "1", 40, 0},      {"max", "quantity", "20", 40, 0},
        {"AVG", "quantity", "10.45", 40, 0},  {"COUNT", "note", "12", 12, 0},
        {"MEDIAN", "quantity", "", 0, 20018}, {"SUM", "note", "", 0, 20016},
        {"SUM", "nosuch", "", 0, 20011},
    };
    for (const auto& c : calcs) {
        SCOPED_TRACE(std::string(c.function) + " " + c.column);
        klstatus st{};
        char result[32];
        ASSERT_EQ(klcalc(cursor, c.function, &st, "orders", c.column, result), c.error)
            << message(st);
        if (c.error != 0) continue;
        EXPECT_EQ(st.bufflen, 32);
        EXPECT_EQ(st.count, c.count);
        EXPECT_EQ(field_text(std::string(result, 32), 0, 32), c.result);
    }

    server->execute("sales", "UPDATE products SET name = 'Bolt, \"long\"' WHERE id = 1");
    select(cursor, "products", "id,name,stock", "id <= 2");
    KL_OK(klexport(cursor, "", &st, "PROD", "products.csv"));
    EXPECT_EQ(st.count, 2);
    const std::string csv = read_file(dir / "exports" / "products.csv");
    EXPECT_EQ(csv.rfind("id,name,stock\n1,\"Bolt, \"\"long\"\"\",", 0), 0u) << csv;
    EXPECT_NE(csv.find("\n2,Brass hinge,"), std::string::npos) << csv;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);
    KL_OK(klexport(cursor, "HEADER=NO", &st, "PROD", "bare.csv"));
    EXPECT_EQ(read_file(dir / "exports" / "bare.csv").rfind("1,", 0), 0u);
    for (const char* name : {"../escape.csv", ".hidden", "sub/file.csv", ""})
        EXPECT_EQ(klexport(cursor, "", &st, "PROD", name), 20020u) << name;
    EXPECT_FALSE(std::filesystem::exists(dir / "escape.csv"));
    EXPECT_EQ(klexport(cursor, "FORMAT=XML", &st, "PROD", "x.csv"), 20018u);

    select(cursor, "products", "id", "");
    char product[4];
    ASSERT_EQ(klfetch(cursor, "", &st, 1, product), 0u);
    // orders in character form: 176 bytes; 100 of them take ten answers.
    constexpr int length = 4 * 32 + 8 + 40;
    std::vector<char> area(length * 100);
    KL_OK(kllist(cursor, "CHAR", &st, "orders", "*", "id > 150", 100, area.data()));
    EXPECT_EQ(st.count, 100);
    EXPECT_EQ(field_text(std::string(&area[length * 99], length), 0, 32), "250");
    ASSERT_EQ(klfetch(cursor, "", &st, 1, product), 0u); // goes on where it was
    EXPECT_EQ(get<std::int32_t>(product), 2);
    kllist(cursor, "CHAR", &st, "orders", "*", "id > 295", 100, area.data());
    EXPECT_EQ(st.count, 5); // fewer than asked: what there is

    KL_OK(kllist(cursor, "", &st, "customers", "id,city", "id >= 10", 10, area.data()));
    // Entry 3 in character form, with the columns the form asks for.
    std::string form(1956, '\0');
    KL_OK(klform(cursor, "", &st, "customers", "id,name,city", 3, form.data()));
    ASSERT_EQ(st.bufflen, 32 + 24 + 16);
    EXPECT_EQ(field_text(form, 0, 32), "12");
    form.replace(56, 16, "Tallinn         ");
    KL_OK(klupdate(cursor, "", &st, "customers", "", form.data()));
    EXPECT_EQ(ids(cursor, "customers", "city = 'Tallinn'"), std::vector<std::string>{"12"});
    for (kl_long entry : {0, 11}) // outside the list
        EXPECT_EQ(klform(cursor, "", &st, "customers", "", entry, form.data()), 20014u) << entry;

    std::string text(70000, ' '); // more than one request or answer takes
    for (std::size_t k = 0; k < text.size(); ++k)
        text[k] = static_cast<char>('a' + k % 26);
    const struct {
        std::string input;
        int error;
    } steps[] = {
        {"PING", 0},      {"commit", 20022}, {"begin  ", 0},
        {"BEGIN", 20022}, {"Rollback", 0},   {"ROLLBACK", 20022},
        {"BEGIN", 0},     {"COMMIT", 0},     {"VACUUM", 20018},
        {"", 20018},      {text, 20018},     {"PING" + std::string(69996, ' '), 0},
    };
    for (const auto& step : steps) {
        klstatus st{};
        char output[4];
        klcommand(instance, "", &st, 0, step.input.data(), static_cast<kl_long>(step.input.size()),
                  output, 0);
        EXPECT_EQ(st.error, step.error) << "'" << step.input.substr(0, 10) << "'";
    }

    const struct {
        const char *library, *routine;
        std::string input;
        std::size_t room;
        std::string output; // and NULs to the end
        int error;
    } routines[] = {
        {"builtin", "echo", "Hello, World", 20, "Hello, World", 0},
        {"builtin", "UPPER", "Hello, World", 20, "HELLO, WORLD", 0},
        {"BUILTIN", "reverse", "Hello, World", 20, "dlroW ,olleH", 0},
        {"builtin", "length", "Hello, World", 20, "12", 0},
        {"builtin", "echo", "Hello, World", 5, "Hello", 0}, // what fits
        {"builtin", "reverse", text, text.size(), std::string(text.rbegin(), text.rend()), 0},
        // Refused with the input still read, and no output.
        {"builtin", "sort", text, 10, std::string(10, '#'), 20019},
        {"mathlib", "echo", text, 10, std::string(10, '#'), 20019},
    };
    for (const auto& c : routines) {
        SCOPED_TRACE(std::string(c.library) + " " + c.routine);
        klstatus st{};
        std::string output(c.room, '#');
        klexternal(instance, "", &st, 0, c.library, c.routine, c.input.data(),
                   static_cast<kl_long>(c.input.size()), output.data(),
                   static_cast<kl_long>(c.room));
        EXPECT_EQ(st.error, c.error) << message(st);
        EXPECT_EQ(output, c.output + std::string(c.room - c.output.size(), '\0'));
        EXPECT_TRUE(c.room != 20 || st.bufflen == static_cast<int>(c.output.size())) << st.bufflen;
    }

    std::array<char, 2048> buffer{};
    const auto info = [&](const char* options, std::string table, std::string column,
                          std::vector<kl_long> items) {
        static const kl_long named[] = {202, 302, 0}, none[] = {0};
        const kl_long* qualifier_items = table.empty() ? none : named;
        table.resize(32, ' ');
        column.resize(32, ' ');
        items.push_back(0);
        klstatus st{};
        klgetinfo(instance, options, &st, qualifier_items, (table + column).c_str(), items.data(),
                  buffer.data());
        return st;
    };
    const struct {
        const char *options, *table, *column;
        kl_long item, error;
    } refusals[] = {
        {"", "nosuch", "*", 305, 20010},        {"", "orders", "nosuch", 305, 20011},
        {"", "orders", "*", 999, 20018},        {"SORTED", "orders", "*", 305, 20018},
        {"COUNT=0", "orders", "*", 305, 20018}, {"N", "", "", 202, 11257}, // nothing to go on with
    };
    for (const auto& c : refusals) {
        const klstatus st = info(c.options, c.table, c.column, {c.item});
        EXPECT_EQ(st.error, c.error) << c.options << " " << c.table << " " << c.column;
        EXPECT_EQ(st.count, 0);
    }

    // count entries of stride bytes, each as its name, the numbers at these
    // offsets and the 64-byte text at text_at (when given).
    const auto entries = [&](int count, std::size_t stride, std::vector<std::size_t> numbers,
                             std::size_t text_at = 0) {
        const std::string answer(buffer.data(), buffer.size());
        std::vector<std::string> found;
        for (std::size_t at = 0; at < stride * count; at += stride) {
            found.push_back(field_text(answer, at, 32));
            for (std::size_t n : numbers)
                found.back() += " " + std::to_string(get<std::int32_t>(&buffer[at + n]));
            if (text_at != 0) found.back() += " " + field_text(answer, at + text_at, 64);
        }
        return found;
    };
    // Every table with its column and row counts; a table's columns (type,
    // length, character length); one column (type, number).
    st = info("", "", "", {202, 203, 204});
    EXPECT_EQ(st.bufflen, 3 * 40);
    EXPECT_EQ(
        entries(st.count, 40, {32, 36}),
        (std::vector<std::string>{"customers 4 200", "orders 6 " + std::to_string(sample_orders),
                                  "products 4 12"}));
    const std::vector<kl_long> items = {302, 305, 306, 310, 307, 308};
    EXPECT_EQ(entries(info("", "CUSTOMERS", "*", items).count, 52, {32, 36, 48}),
              (std::vector<std::string>{"id 400 4 32", "name 100 24 24", "city 100 16 16",
                                        "since 1300 8 8"}));
    EXPECT_EQ(entries(info("", "products", "price", items).count, 52, {32, 44}),
              std::vector<std::string>{"price 800 3"});

    // 150 columns come 100 at a time with COUNT (as klinsert asks), or as
    // many as fit (58 of 32 bytes) without.
    std::string sql = "CREATE TABLE wide (c1 INTEGER PRIMARY KEY";
    for (int k = 2; k <= 150; ++k)
        sql += ", c" + std::to_string(k) + " INTEGER";
    server->execute("sales", sql + ")");
    std::vector<int> counts;
    std::vector<std::string> last_names;
    for (const char* options : {"  COUNT=100", "N COUNT=100", "N COUNT=100", "", "N", "N", "N"}) {
        const bool names = std::strchr(options, 'C') == nullptr;
        const klstatus st = info(options, "wide", "*", {names ? 302 : 305});
        counts.push_back(st.error == 0 ? st.count : -st.error);
        if (st.error == 0 && names) last_names.push_back(entries(st.count, 32, {}).back());
    }
    EXPECT_EQ(counts, (std::vector<int>{100, 50, -11257, 58, 58, 34, -11257}));
    EXPECT_EQ(last_names, (std::vector<std::string>{"c58", "c116", "c150"}));

    // Each index with its uniqueness and columns, in name order; only
    // PostgreSQL gives a primary key an index of its own.
    const struct {
        const char* table;
        std::vector<std::string> indexes; // "name unique column-count columns"
    } index_cases[] = {
        {"orders",
         {"orders_customer 0 1 customer", "orders_pkey 1 1 id", "orders_product 0 1 product"}},
        {"PRODUCTS", {"products_name 1 1 name", "products_pkey 1 1 id"}},
        {"customers", {"customers_pkey 1 1 id"}},
    };
    for (const auto& c : index_cases) {
        KL_OK(klgetindexinfo(instance, "", &st, c.table, buffer.data()));
        EXPECT_EQ(st.bufflen, 104 * st.count);
        std::vector<std::string> wanted;
        for (const std::string& index : c.indexes)
            if (on_postgres() || index.find("_pkey") == std::string::npos) wanted.push_back(index);
        EXPECT_EQ(entries(st.count, 104, {32, 36}, 40), wanted) << c.table;
    }
    EXPECT_EQ(klgetindexinfo(instance, "", &st, "nosuch", buffer.data()), 20010u);
}

// A table with no integer key of its own (SQLite: WITHOUT ROWID;
// PostgreSQL: no one-column integer primary key) takes inserts, answered
// with key 0, but refuses selections.  Rows are read when fetched: one
// changed since shows its new values, deleted ones are skipped, both in
// key order (ranges of keys) and with keys far apart (a list of keys).
// PostgreSQL prepares a fetch batch's statement again after its table
// changed a column's type.
TEST_P(CallsTest, WritesAndFetchesOfRowsChangedSince) {
    server->execute(
        "sales", on_postgres() ? "CREATE TABLE nokey (name VARCHAR(10))"
                               : "CREATE TABLE nokey (name VARCHAR(10) PRIMARY KEY) WITHOUT ROWID");
    const kl_long instance = connect();
    klstatus st{};
    const auto insert = [&](kl_long into, const char* columns, const char* name,
                            const char* price) {
        std::string text(126, ' ');
        text.replace(32, 30, 30, '\0').replace(32, std::strlen(name), name);
        text.replace(62, std::strlen(price), price);
        return klinsert(into, "CHAR", &st, "products", columns, text.data());
    };
    EXPECT_EQ(insert(instance, "", "Hex nut", "1"), 20017u); // the unique name is taken
    EXPECT_EQ(insert(instance, "", "Pin", "x"), 20016u);     // not a number
    EXPECT_EQ(insert(instance, "colour", "Pin", "1"), 20011u);

    // Delete needs a current record, of that table, once.
    const kl_long cursor = open_cursor(instance);
    select(cursor, "orders", "*", "id = 7");
    EXPECT_EQ(kldelete(cursor, "", &st, "orders"), 20014u);
    char record[64];
    ASSERT_EQ(klfetch(cursor, "", &st, 1, record), 0u);
    EXPECT_EQ(kldelete(cursor, "", &st, "customers"), 20010u);
    KL_OK(kldelete(cursor, "", &st, "orders"));
    EXPECT_EQ(kldelete(cursor, "", &st, "orders"), 20014u);
    EXPECT_EQ(select(cursor, "orders").count, sample_orders - 1);

    // A read-only instance refuses every write; an unselected cursor, the
    // layout calls.
    const kl_long read_only = connect("R");
    kl_long reader = open_cursor(read_only);
    EXPECT_EQ(insert(read_only, "", "Rivet", ""), 20008u);
    EXPECT_EQ(kldescribe(reader, "", &st, 1, record), 20013u);
    select(reader, "products", "*", "id = 1");
    ASSERT_EQ(klfetch(reader, "", &st, 1, record), 0u);
    EXPECT_EQ(klupdate(reader, "", &st, "products", "", record), 20008u);
    EXPECT_EQ(kldelete(reader, "", &st, "products"), 20008u);
    EXPECT_EQ(select(reader, "products").count, 12);

    char row[10] = "bolt";
    KL_OK(klinsert(instance, "", &st, "nokey", "", row));
    EXPECT_EQ(st.info, 0);
    EXPECT_EQ(st.count, 1);
    EXPECT_EQ(klselect(cursor, "", &st, "nokey", "*", ""), 20030u);

    const kl_long writer = open_cursor(instance);
    reader = open_cursor(instance);
    for (const auto& [criteria, options] :
         {std::pair{"", ""}, std::pair{"customer <= 12", "ORDER=customer"}}) {
        SCOPED_TRACE(options);
        std::vector<std::string> expected = ids(reader, "orders", criteria, options);
        ASSERT_GE(expected.size(), 6u);
        const int length = select(reader, "orders", "id,quantity", criteria,
                                  (std::string("CHAR ") + options).c_str())
                               .bufflen;
        const std::string changed = expected[2];
        select(writer, "orders", "quantity", ("id = " + changed).c_str(), "CHAR");
        std::string record(32, ' ');
        KL_OK(klfetch(writer, "", &st, 1, record.data()));
        record.replace(0, 3, "999");
        KL_OK(klupdate(writer, "", &st, "orders", "quantity", record.data()));
        // The second row, the last but one and, when there are more than
        // fit the first batch, the first row of the second.
        for (const std::size_t gone : {expected.size() - 2, std::size_t{64}, std::size_t{1}}) {
            if (gone + 2 > expected.size()) continue;
            select(writer, "orders", "id", ("id = " + expected[gone]).c_str());
            KL_OK(klfetch(writer, "", &st, 1, record.data()));
            KL_OK(kldelete(writer, "", &st, "orders"));
            expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(gone));
        }
        const std::vector<std::string> records = fetch_all(reader, length, 500);
        ASSERT_EQ(first_fields(records), expected);
        EXPECT_EQ(field_text(records[1], 32, 32), "999"); // the changed row, second now
    }
    if (!on_postgres()) return; // SQLite does not change a column's type
    const int length = select(reader, "orders", "id,quantity", "", "CHAR").bufflen;
    std::string first(static_cast<std::size_t>(length), ' ');
    KL_OK(klfetch(reader, "", &st, 1, first.data()));
    server->execute("sales", "ALTER TABLE orders ALTER COLUMN quantity TYPE bigint; "
                             "UPDATE orders SET quantity = 7");
    const std::vector<std::string> records = fetch_all(reader, length);
    ASSERT_FALSE(records.empty());
    for (const std::string& r : records)
        EXPECT_EQ(field_text(r, 32, 32), "7");
}

KL_SERVER_MODES(CallsTest, ServerMode::little_endian);

// Logins checked against a users file (SQLite) or by PostgreSQL (the test
// cluster's password role): the library sends the environment file's
// password only with dbdirect, and klconnect's own password never.
struct LoginTest : ServerTest {
    void configure(kls::ServerConfig& config) override {
        if (on_postgres()) return;
        const std::string path = (dir / "users").string();
        std::string error;
        ASSERT_TRUE(kls::add_user(path, "alice", "right horse", error)) << error;
        std::optional<kls::UserFile> users = kls::UserFile::load(path, error);
        ASSERT_TRUE(users) << error;
        config.users = std::make_shared<const kls::UserFile>(std::move(*users));
    }
};

TEST_P(LoginTest, OnlyTheRightPairConnects) {
    const std::string user = on_postgres() ? test_user() : "alice";
    const std::string right = on_postgres() ? test_password() : "right horse";
    const struct {
        std::string user, password;
        std::uint32_t result;
    } cases[] = {
        // Refusals first: the right pair still logs the connection in after.
        {user, "wrong horse", 20031},
        {"nobody", right, 20031},
        {user, "", 20031},
        {user, right, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user + " / " + c.password);
        klstatus st{};
        kl_long instance = 0;
        EXPECT_EQ(klconnect(write_environment(c.password).c_str(), "", &st, c.user.c_str(),
                            right.c_str(), &instance),
                  c.result)
            << message(st);
        // Without telling which half was wrong (PostgreSQL gives its own reason).
        if (c.result != 0 && !on_postgres()) {
            EXPECT_STREQ(st.buffer, "user or password");
        }
    }
}

KL_SERVER_MODES(LoginTest, ServerMode::little_endian);

} // namespace
} // namespace kl::test

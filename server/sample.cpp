#include "sample.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage.h"

namespace kls {

namespace {

constexpr const char* schema = R"(
CREATE TABLE customers (id INTEGER PRIMARY KEY, name CHAR(24) NOT NULL, city CHAR(16),
                        since DATE);
CREATE TABLE products (id INTEGER PRIMARY KEY, name VARCHAR(30) NOT NULL, price FLOAT,
                       stock INTEGER);
CREATE TABLE orders (id INTEGER PRIMARY KEY, customer INTEGER NOT NULL, product INTEGER NOT NULL,
                     quantity INTEGER, ordered DATE, note VARCHAR(40));
CREATE INDEX orders_customer ON orders (customer);
CREATE INDEX orders_product ON orders (product);
CREATE UNIQUE INDEX products_name ON products (name);
)";

constexpr const char* first_names[] = {"Ada",   "Bruno", "Chiara", "Dmitri", "Elena",
                                       "Farid", "Greta", "Hugo",   "Ines",   "Jonas"};
constexpr const char* last_names[] = {"Moreau", "Lindqvist", "Okafor", "Petrov", "Santos",
                                      "Tanaka", "Novak",     "Weber",  "Keller", "Rossi"};
constexpr const char* cities[] = {"Lisbon", "Oslo", "Turin", "Krakow", "Lyon", "Ghent", "Porto"};
constexpr const char* products[] = {"Anchor bolt",  "Brass hinge",  "Cable tie",  "Drill bit",
                                    "End cap",      "Flat washer",  "Gate latch", "Hex nut",
                                    "Iron bracket", "Jubilee clip", "Key blank",  "Lock nut"};

// A small deterministic generator, so the sample is the same on every run.
struct Generator {
    unsigned state = 12345;
    unsigned next(unsigned bound) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % bound;
    }
};

// Rows inserted with one statement: keeps a sample written to a database
// server from taking a round trip a row.
constexpr int batch_rows = 100;

// Inserts rows into table, batch_rows at a time: row(k, values) appends
// row k's values (texts, NULL as nullopt) for k from 0 to count - 1.
bool insert_rows(Database& db, const std::string& table, int columns, int count,
                 const std::function<void(int, std::vector<std::optional<std::string>>&)>& row,
                 std::string& error) {
    std::vector<std::optional<std::string>> values;
    for (int first = 0; first < count; first += batch_rows) {
        const int rows = std::min(batch_rows, count - first);
        std::string sql = "INSERT INTO " + table + " VALUES ";
        for (int k = 0; k < rows; ++k) {
            sql += k > 0 ? ", (" : "(";
            for (int c = 0; c < columns; ++c)
                sql += c > 0 ? ", ?" : "?";
            sql += ')';
        }
        values.clear();
        for (int k = 0; k < rows; ++k)
            row(first + k, values);
        const std::unique_ptr<Query> insert = db.prepare(sql);
        if (!insert) {
            error = db.last_error();
            return false;
        }
        for (std::size_t v = 0; v < values.size(); ++v) {
            if (values[v])
                insert->bind_text(static_cast<int>(v) + 1, *values[v]);
            else
                insert->bind_null(static_cast<int>(v) + 1);
        }
        if (insert->step() != Query::Step::done) {
            error = db.last_error();
            return false;
        }
    }
    return true;
}

} // namespace

bool create_sample(Storage& storage, std::string_view name, int orders, std::string& error) {
    std::unique_ptr<Database> db = storage.administer(name, true, error);
    if (!db) return false;
    if (!db->exec(schema) || !db->exec("BEGIN")) {
        error = db->last_error();
        return false;
    }

    Generator g;
    constexpr int customer_count = 200;
    const auto number = [](auto v) { return std::optional<std::string>(std::to_string(v)); };
    const auto customer = [&](int k, std::vector<std::optional<std::string>>& v) {
        char since[16];
        // One draw a statement, in a fixed order: the sample must not
        // depend on the order a compiler evaluates arguments in.
        const unsigned day = 1 + g.next(28);
        const unsigned month = 1 + g.next(12);
        const unsigned year = 10 + g.next(15);
        std::snprintf(since, sizeof since, "20%02u-%02u-%02u", year, month, day);
        v.push_back(number(k + 1));
        const char* last = last_names[g.next(10)];
        const char* first = first_names[g.next(10)];
        v.push_back(std::string(first) + " " + last);
        v.push_back(std::string(cities[g.next(7)]));
        v.push_back(std::string(since));
    };
    const auto product = [&](int k, std::vector<std::optional<std::string>>& v) {
        char price[16];
        std::snprintf(price, sizeof price, "%.2f", (50 + g.next(2000)) / 100.0);
        v.push_back(number(k + 1));
        v.push_back(std::string(products[k]));
        v.push_back(std::string(price));
        v.push_back(number(g.next(500)));
    };
    const auto order = [&](int k, std::vector<std::optional<std::string>>& v) {
        char ordered[16];
        const unsigned day = 1 + g.next(28);
        const unsigned month = 1 + g.next(12);
        std::snprintf(ordered, sizeof ordered, "2025-%02u-%02u", month, day);
        v.push_back(number(k + 1));
        v.push_back(number(1 + g.next(customer_count)));
        v.push_back(number(1 + g.next(std::size(products))));
        v.push_back(number(1 + g.next(20)));
        v.push_back(std::string(ordered));
        v.push_back(g.next(4) == 0 ? std::optional<std::string>("rush") : std::nullopt);
    };
    if (!insert_rows(*db, "customers", 4, customer_count, customer, error) ||
        !insert_rows(*db, "products", 4, static_cast<int>(std::size(products)), product, error) ||
        !insert_rows(*db, "orders", 6, orders, order, error))
        return false;
    // An insert that leaves the id out gets the next one: SQLite's INTEGER
    // PRIMARY KEY does that by itself; on PostgreSQL the column becomes an
    // identity that starts after the sample's rows.
    if (db->dialect() == Dialect::postgres) {
        const std::pair<const char*, int> tables[] = {
            {"customers", customer_count},
            {"products", static_cast<int>(std::size(products))},
            {"orders", orders}};
        for (const auto& [table, rows] : tables) {
            if (!db->exec(std::string("ALTER TABLE ") + table +
                          " ALTER COLUMN id ADD GENERATED BY DEFAULT AS IDENTITY (START WITH " +
                          std::to_string(rows + 1) + ")")) {
                error = db->last_error();
                return false;
            }
        }
    }
    if (!db->exec("COMMIT")) {
        error = db->last_error();
        return false;
    }
    return true;
}

} // namespace kls

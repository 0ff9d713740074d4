#include "sample.h"

#include <cstdio>
#include <filesystem>

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

} // namespace

bool create_sample(const std::string& path, int orders, std::string& error) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    std::unique_ptr<Database> db = Database::create(path, error);
    if (!db || !db->exec(schema, error) || !db->exec("BEGIN", error)) return false;

    Generator g;
    constexpr int customer_count = 200;
    {
        Statement insert(db->handle(), "INSERT INTO customers VALUES (?, ?, ?, ?)");
        for (int id = 1; id <= customer_count; ++id) {
            char since[16];
            std::snprintf(since, sizeof since, "20%02u-%02u-%02u", 10 + g.next(15), 1 + g.next(12),
                          1 + g.next(28));
            insert.reset();
            insert.bind_int64(1, id);
            insert.bind_text(2,
                             std::string(first_names[g.next(10)]) + " " + last_names[g.next(10)]);
            insert.bind_text(3, cities[g.next(7)]);
            insert.bind_text(4, since);
            insert.step();
        }
    }
    {
        Statement insert(db->handle(), "INSERT INTO products VALUES (?, ?, ?, ?)");
        int id = 1;
        for (const char* name : products) {
            insert.reset();
            insert.bind_int64(1, id++);
            insert.bind_text(2, name);
            insert.bind_double(3, (50 + g.next(2000)) / 100.0);
            insert.bind_int64(4, g.next(500));
            insert.step();
        }
    }
    {
        Statement insert(db->handle(), "INSERT INTO orders VALUES (?, ?, ?, ?, ?, ?)");
        for (int id = 1; id <= orders; ++id) {
            char ordered[16];
            std::snprintf(ordered, sizeof ordered, "2025-%02u-%02u", 1 + g.next(12),
                          1 + g.next(28));
            insert.reset();
            insert.bind_int64(1, id);
            insert.bind_int64(2, 1 + g.next(customer_count));
            insert.bind_int64(3, 1 + g.next(std::size(products)));
            insert.bind_int64(4, 1 + g.next(20));
            insert.bind_text(5, ordered);
            if (g.next(4) == 0)
                insert.bind_text(6, "rush");
            else
                insert.bind_null(6);
            insert.step();
        }
    }
    return db->exec("COMMIT", error);
}

} // namespace kls

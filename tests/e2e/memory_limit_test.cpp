// What one request may take in memory: a join works from the cursor's
// selection, and a request that needs more than the limit (or meets a failed
// allocation) is refused with 20024 and leaves its cursor as it was.
#include "faults.h"
#include "server_fixture.h"

namespace kl::test {
namespace {

// 12 products, so about 250 orders to a product.  The limit is far below
// the whole join of orders to itself on product (some megabytes), above a
// join of one order and below the rowids of every order (16 bytes each).
constexpr int orders = 3000;
constexpr std::size_t limit = 32 << 10;

class MemoryLimitTest : public RawServerTest {
  protected:
    void SetUp() override {
        RawServerTest::SetUp();
        start([](kls::ServerConfig& config) { config.max_request_memory = limit; });
        std::string error;
        ASSERT_TRUE(kls::create_sample(server->storage(), "big", orders, error)) << error;
        // Columns that compare across types and collations (on SQLite).
        server->execute("big", std::string(R"(
            CREATE TABLE a (id INTEGER PRIMARY KEY, x INTEGER, t TEXT)") +
                                   (on_postgres() ? "" : " COLLATE NOCASE") + R"();
            CREATE TABLE b (id INTEGER PRIMARY KEY, y TEXT, u TEXT, m INTEGER);
            CREATE INDEX b_m ON b (m);
            INSERT INTO a VALUES (1, 5, 'Abc'), (2, 7, 'q'), (3, NULL, NULL);
            INSERT INTO b VALUES (1, '05', 'abc', 5), (2, ' 5', 'ABC', 7), (3, '5.0', 'x', 5),
                                 (4, '7', 'Q', NULL);)");
        client = std::make_unique<RawClient>(server->port());
        instance = open_instance(*client, "big");
        cursor = open_cursor(*client, instance);
    }
    void TearDown() override {
        kls::faults::allocation_should_fail(); // disarmed, whatever the test did
        RawServerTest::TearDown();
    }

    RawStatus select(const std::string& table, const std::string& columns,
                     const std::string& criteria, const std::string& options = "") {
        return RawServerTest::select(*client, cursor, table, columns, criteria, options);
    }
    RawStatus join(const std::string& from, const std::string& to_table, const std::string& to) {
        return client
            ->exchange(RawClient::packed_request(309, cursor, {"", from, to_table, to, ""}))
            .value_or(RawStatus{-1});
    }
    std::vector<std::string> fetch(int n) { // one answer's records
        const auto st = client->exchange(RawClient::fetch_request(cursor, n));
        std::vector<std::string> records;
        if (!st || st->count <= 0) return records;
        if (st->count < n) {
            const auto end = client->read_record();
            EXPECT_TRUE(end && parse_status(*end).error == 11032);
        }
        const std::string all(st->data.begin(), st->data.end());
        const std::size_t length = all.size() / static_cast<std::size_t>(st->count);
        for (std::size_t at = 0; at < all.size(); at += length)
            records.push_back(all.substr(at, length));
        return records;
    }

    std::unique_ptr<RawClient> client;
    RawBytes instance;
    RawBytes cursor;
};

TEST_F(MemoryLimitTest, BeyondTheLimitARequestIsRefusedAJoinTakesMemoryOnlyForItsSelection) {
    const struct {
        const char* what;
        std::function<RawStatus()> request;
    } cases[] = {
        {"selection rows", [this] { return select("orders", "id", ""); }},
        // The selection fits; its pairs do not.
        {"join pairs", [this] { return join("product", "orders", "product"); }},
        {"input", [this] { return command(*client, instance, std::string(40000, 'x')); }},
        {"out of memory",
         [this] {
             kls::faults::fail_next_allocation();
             return select("orders", "id", "id <= 7");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(select("orders", "id", "id <= 100").error, 0);
        ASSERT_EQ(fetch(1).size(), 1u);
        const RawStatus refused = c.request();
        EXPECT_EQ(refused.error, 20024);
        EXPECT_EQ(refused.text, c.what);
        const std::vector<std::string> kept = fetch(2);
        ASSERT_EQ(kept.size(), 2u);
        EXPECT_EQ(kept[0], std::string("\x02\0\0\0", 4));
    }

    // Memory for the selection, not for the joined table.
    ASSERT_EQ(select("orders", "id", "", "ORDER=product LIMIT=1").error, 0);
    const RawStatus joined = join("product", "orders", "product");
    EXPECT_EQ(joined.error, 0) << joined.text;
    EXPECT_EQ(joined.count, select("orders", "id", "product = 1").count);
    EXPECT_GT(joined.count, 1);

    using Pairs = std::vector<std::pair<int, int>>;
    const struct {
        const char* what;
        const char* options;
        const char* from;
        const char* to;
        Pairs pairs;
        bool sqlite_only; // SQLite's comparison of numbers with text, and collations
    } joins[] = {
        // A number against text that reads as that number; no index.
        {"number to text", "", "x", "y", {{1, 1}, {1, 2}, {1, 3}, {2, 4}}, true},
        // The from column's collation.
        {"case-blind text", "", "t", "u", {{1, 1}, {1, 2}, {2, 4}}, true},
        // Through the index on m.
        {"indexed", "DESC", "x", "m", {{2, 2}, {1, 1}, {1, 3}}, false},
    };
    for (const auto& c : joins) {
        SCOPED_TRACE(c.what);
        if (c.sqlite_only && on_postgres()) continue;
        ASSERT_EQ(select("a", "id", "", std::string("CHAR ORDER=id ") + c.options).error, 0);
        const RawStatus st = join(c.from, "b", c.to);
        ASSERT_EQ(st.error, 0) << st.text;
        Pairs pairs;
        for (const std::string& record : fetch(20))
            pairs.emplace_back(std::stoi(record.substr(0, 32)), std::stoi(record.substr(32, 32)));
        EXPECT_EQ(pairs, c.pairs);
    }
    // A joined cursor joins its own rows afresh, each once.
    ASSERT_EQ(join("x", "b", "m").error, 0);
    EXPECT_EQ(fetch(20).size(), 3u);
}

} // namespace
} // namespace kl::test

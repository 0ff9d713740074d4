// Writes of several sessions to one database take turns: a writer waits for
// another's transaction, up to a limit, and a transaction that read first is
// not refused because another session wrote in between.
#include <future>

#include "server_fixture.h"

namespace kl::test {
namespace {

// Sessions a and b with an instance each on "t", a table of one integer.
class WriteTurnTest : public RawServerTest {
  protected:
    void start(int write_wait_seconds, int idle_in_transaction_seconds = 60) {
        RawServerTest::start([&](kls::ServerConfig& config) {
            config.write_wait_seconds = write_wait_seconds;
            config.idle_in_transaction_seconds = idle_in_transaction_seconds;
        });
        // The tests insert distinct values in ascending order.
        server->execute("t", "CREATE TABLE t(v INTEGER PRIMARY KEY)", true);
        a = std::make_unique<RawClient>(server->port());
        b = std::make_unique<RawClient>(server->port());
        ia = open_instance(*a, "t");
        ib = open_instance(*b, "t");
    }
    static std::int32_t command(RawClient& client, const RawBytes& instance,
                                const std::string& text) {
        return RawServerTest::command(client, instance, text, 60000).error;
    }
    static std::int32_t insert(RawClient& client, const RawBytes& instance, std::int32_t v) {
        const auto st = client.exchange(
            insert_request(instance, {"t", "v", ""}, std::string(reinterpret_cast<char*>(&v), 4)),
            60000);
        return st ? st->error : -1;
    }
    std::vector<int> values() { // in insertion order
        std::string error;
        const auto db = server->storage().administer("t", false, error);
        const auto rows = db->prepare("SELECT v FROM t ORDER BY v");
        std::vector<int> out;
        while (rows->step() == kls::Query::Step::row)
            out.push_back(static_cast<int>(rows->integer(0)));
        return out;
    }

    std::unique_ptr<RawClient> a, b;
    RawBytes ia, ib;
};

TEST_F(WriteTurnTest, ATransactionThatReadFirstStillWritesAfterAnotherSessionsWrite) {
    start(5);
    ASSERT_EQ(command(*a, ia, "BEGIN"), 0);
    ASSERT_EQ(select(*a, open_cursor(*a, ia), "t", "*").error, 0);
    ASSERT_EQ(insert(*b, ib, 1), 0);
    EXPECT_EQ(insert(*a, ia, 2), 0);
    ASSERT_EQ(command(*a, ia, "ROLLBACK"), 0);
    EXPECT_EQ(insert(*a, ia, 3), 0); // the turn went with the transaction
    EXPECT_EQ(values(), (std::vector<int>{1, 3}));
}

// PostgreSQL orders its writers itself (row locks): write turns are SQLite's.
TEST_F(WriteTurnTest, AWriterWaitsItsTurnUpToTheWriteWaitOrTheOtherTransactionsIdleLimit) {
    if (on_postgres()) GTEST_SKIP() << "write turns are the SQLite backend's";
    // Another session waits a second, then for a commit.
    start(1);
    ASSERT_EQ(command(*a, ia, "BEGIN"), 0);
    ASSERT_EQ(insert(*a, ia, 1), 0);
    EXPECT_EQ(insert(*b, ib, 2), 20027); // after waiting a second for a's turn
    // While b waits, a commits: b's insert then goes through.
    auto waiting = std::async(std::launch::async, [&] { return insert(*b, ib, 3); });
    ASSERT_EQ(command(*a, ia, "COMMIT"), 0);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_EQ(values(), (std::vector<int>{1, 3}));
    // Another instance of the same session is refused at once.
    start(60);
    const RawBytes second = open_instance(*a, "t");
    ASSERT_EQ(command(*a, ia, "BEGIN"), 0);
    ASSERT_EQ(insert(*a, ia, 1), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(insert(*a, second, 2), 20027);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    ASSERT_EQ(command(*a, ia, "COMMIT"), 0);
    EXPECT_EQ(insert(*a, second, 2), 0);
    EXPECT_EQ(values(), (std::vector<int>{1, 2}));
    // A transaction left idle is rolled back and its turn given back.
    start(5, 1);
    ASSERT_EQ(command(*a, ia, "BEGIN"), 0);
    ASSERT_EQ(insert(*a, ia, 1), 0);
    EXPECT_EQ(insert(*b, ib, 2), 0); // once a has idled for a second
    EXPECT_EQ(insert(*a, ia, 3), 20026);
    EXPECT_EQ(command(*a, ia, "COMMIT"), 20022); // the transaction is over
    EXPECT_EQ(insert(*a, ia, 4), 0);
    EXPECT_EQ(values(), (std::vector<int>{2, 4}));
}

} // namespace
} // namespace kl::test

// Writes of several sessions to one database file take turns in the
// server: a writer waits for another's transaction instead of failing, a
// wait has a limit, and a transaction that reads before it writes is not
// refused because another session wrote in between.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "listener.h"
#include "raw_client.h"
#include "storage.h"

namespace kl::test {
namespace {

void put_le32(RawBytes& r, std::uint32_t v) {
    for (int k = 0; k < 4; ++k)
        r.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// Two tables of one integer column each in "t.db".
class WriteTurnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = os::make_temp_dir();
        std::string error;
        auto db = kls::Database::create((dir / "t.db").string(), error);
        ASSERT_TRUE(db && db->exec("CREATE TABLE t(v INTEGER)", error)) << error;
    }
    void start(int write_wait_seconds, int idle_in_transaction_seconds = 60) {
        kls::ServerConfig config;
        config.data_dir = dir.string();
        config.export_dir = (dir / "exports").string();
        config.write_wait_seconds = write_wait_seconds;
        config.idle_in_transaction_seconds = idle_in_transaction_seconds;
        server = std::make_unique<kls::Server>(config);
        std::string error;
        ASSERT_TRUE(server->start("127.0.0.1", 0, 0, error)) << error;
        runner = std::thread([this] { server->run(); });
    }
    void TearDown() override {
        if (server) server->stop();
        if (runner.joinable()) runner.join();
        server.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    RawBytes connect(RawClient& client) {
        const auto st = client.exchange(RawClient::connect_request("t"));
        EXPECT_TRUE(st && st->error == 0);
        return st && st->data.size() >= 4 ? RawBytes(st->data.begin(), st->data.begin() + 4)
                                          : RawBytes(4, 0);
    }
    // A command (BEGIN, COMMIT ...): the request and its one input record.
    static std::int32_t command(RawClient& client, const RawBytes& instance,
                                const std::string& text) {
        RawBytes request = RawClient::packed_request(325, instance, {});
        put_le32(request, static_cast<std::uint32_t>(text.size()));
        request.push_back(0); // options
        RawBytes input(2 + text.size(), 0);
        std::copy(text.begin(), text.end(), input.begin() + 2);
        if (!client.send_record(request) || !client.send_record(input)) return -1;
        const auto answer = client.read_record(60000);
        return answer ? parse_status(*answer).error : -1;
    }
    static std::int32_t insert(RawClient& client, const RawBytes& instance, std::int32_t v) {
        // The 256-byte area holds table, columns and options.
        RawBytes request = RawClient::packed_request(314, instance, {"t", "v", ""});
        request.resize(request.size() + 256 - 5, 0);
        put_le32(request, static_cast<std::uint32_t>(v));
        if (!client.send_record(request)) return -1;
        const auto answer = client.read_record(60000);
        return answer ? parse_status(*answer).error : -1;
    }
    // The values in the table, in insertion order.
    std::vector<int> values() {
        std::string error;
        auto db = kls::Database::open((dir / "t.db").string(), true, error);
        kls::Statement rows(db->handle(), "SELECT v FROM t ORDER BY rowid");
        std::vector<int> out;
        while (rows.step() == SQLITE_ROW)
            out.push_back(sqlite3_column_int(rows.get(), 0));
        return out;
    }

    std::filesystem::path dir;
    std::unique_ptr<kls::Server> server;
    std::thread runner;
};

TEST_F(WriteTurnTest, AWriterWaitsForAnOpenTransactionAndGivesUpAfterTheWriteWait) {
    start(1);
    RawClient a(server->dispatcher_port());
    RawClient b(server->dispatcher_port());
    const RawBytes ia = connect(a);
    const RawBytes ib = connect(b);
    ASSERT_EQ(command(a, ia, "BEGIN"), 0);
    ASSERT_EQ(insert(a, ia, 1), 0);
    EXPECT_EQ(insert(b, ib, 2), 20027); // after waiting a second for a's turn
    // While b waits, a commits: b's insert then goes through.
    auto waiting = std::async(std::launch::async, [&] { return insert(b, ib, 3); });
    ASSERT_EQ(command(a, ia, "COMMIT"), 0);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_EQ(values(), (std::vector<int>{1, 3}));
}

TEST_F(WriteTurnTest, ATransactionThatReadFirstStillWritesAfterAnotherSessionsWrite) {
    start(5);
    RawClient a(server->dispatcher_port());
    RawClient b(server->dispatcher_port());
    const RawBytes ia = connect(a);
    const RawBytes ib = connect(b);
    ASSERT_EQ(command(a, ia, "BEGIN"), 0);
    const auto cursor = a.exchange(RawClient::id_request(303, ia));
    ASSERT_TRUE(cursor && cursor->error == 0);
    const RawBytes ic(cursor->data.begin(), cursor->data.begin() + 4);
    ASSERT_EQ(a.exchange(RawClient::packed_request(307, ic, {"t", "*", "", ""}))->error, 0);
    ASSERT_EQ(insert(b, ib, 1), 0);
    EXPECT_EQ(insert(a, ia, 2), 0);
    ASSERT_EQ(command(a, ia, "ROLLBACK"), 0);
    EXPECT_EQ(insert(a, ia, 3), 0); // the turn went with the transaction
    EXPECT_EQ(values(), (std::vector<int>{1, 3}));
}

TEST_F(WriteTurnTest, AnotherInstanceOfTheSameSessionIsRefusedAtOnce) {
    start(60);
    RawClient a(server->dispatcher_port());
    const RawBytes first = connect(a);
    const RawBytes second = connect(a);
    ASSERT_EQ(command(a, first, "BEGIN"), 0);
    ASSERT_EQ(insert(a, first, 1), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(insert(a, second, 2), 20027);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    ASSERT_EQ(command(a, first, "COMMIT"), 0);
    EXPECT_EQ(insert(a, second, 2), 0);
    EXPECT_EQ(values(), (std::vector<int>{1, 2}));
}

TEST_F(WriteTurnTest, ATransactionLeftIdleIsRolledBackAndItsTurnGivenBack) {
    start(5, 1);
    RawClient a(server->dispatcher_port());
    RawClient b(server->dispatcher_port());
    const RawBytes ia = connect(a);
    const RawBytes ib = connect(b);
    ASSERT_EQ(command(a, ia, "BEGIN"), 0);
    ASSERT_EQ(insert(a, ia, 1), 0);
    EXPECT_EQ(insert(b, ib, 2), 0); // once a has idled for a second
    EXPECT_EQ(insert(a, ia, 3), 20026);
    EXPECT_EQ(command(a, ia, "COMMIT"), 20022); // the transaction is over
    EXPECT_EQ(insert(a, ia, 4), 0);
    EXPECT_EQ(values(), (std::vector<int>{2, 4}));
}

} // namespace
} // namespace kl::test

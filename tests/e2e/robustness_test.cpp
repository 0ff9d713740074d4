// The server under bad input and several clients at once, driven by raw
// clients that speak the wire protocol themselves.
#include <atomic>
#include <filesystem>
#include <thread>

#include "faults.h"
#include "raw_client.h"
#include "server_fixture.h"

namespace kl::test {
namespace {

RawBytes le16(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}

class RobustnessTest : public RawServerTest {
  protected:
    void SetUp() override {
        RawServerTest::SetUp();
        start();
    }
};

TEST_F(RobustnessTest, MalformedRequestsGetAnErrorAndTheConnectionGoesOn) {
    RawClient client(server->port());
    ASSERT_TRUE(client.connected());
    const RawBytes unknown_id = {0xDE, 0xAD, 0xBE, 0xEF};
    const RawBytes no_nul = {0x2D, 0x01, 's', 'a', 'l', 'e', 's'};
    struct Case {
        const char* what;
        RawBytes request;
        std::int32_t error;
    };
    const Case cases[] = {
        {"empty record", {}, 20001},
        {"half a function code", {0x2D}, 20001},
        {"unknown function code", le16(999), 20002},
        {"never sent codes", le16(313), 20002},
        {"connect text without its NUL", no_nul, 20001},
        {"connect outside the data folder", RawClient::connect_request("../sales"), 20005},
        {"connect to an absolute path", RawClient::connect_request("/etc/passwd"), 20005},
        {"connect to a missing database", RawClient::connect_request("nosuch"), 20006},
        {"connect with an unknown host option", RawClient::connect_request("sales", "Q"), 20018},
        {"cursor on an unknown instance", RawClient::id_request(303, unknown_id), 20003},
        {"select on an unknown cursor",
         RawClient::packed_request(307, unknown_id, {"orders", "*", "", ""}), 20004},
        {"select whose texts run past the end", {0x33, 0x01, 1, 0, 0, 0, 'o', 'r'}, 20001},
        {"fetch on an unknown cursor", RawClient::fetch_request(unknown_id, 5), 20004},
    };
    for (const Case& c : cases) {
        const auto st = client.exchange(c.request);
        ASSERT_TRUE(st) << c.what << ": no answer";
        EXPECT_EQ(st->error, c.error) << c.what << " (" << st->text << ")";
    }
    // After all that the connection serves a proper session.
    const RawBytes cursor = open_cursor(client, open_instance(client));
    const auto selected =
        client.exchange(RawClient::packed_request(307, cursor, {"orders", "id", "id < 11", ""}));
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->error, 0);
    EXPECT_EQ(selected->count, 10);
    // Criteria that do not parse, and a column that does not exist.
    for (const char* criteria : {"id <", "id = 'open", "((id = 1)", "nosuch = 1", "id = 1 id"}) {
        const auto st =
            client.exchange(RawClient::packed_request(307, cursor, {"orders", "*", criteria, ""}));
        ASSERT_TRUE(st);
        EXPECT_TRUE(st->error == 20012 || st->error == 20011) << criteria << ": " << st->error;
    }
}

TEST_F(RobustnessTest, BrokenFramingEndsOnlyThatConnection) {
    RawClient broken(server->port());
    RawClient good(server->port());
    ASSERT_TRUE(broken.connected() && good.connected());
    // A record whose length word claims more than the record holds.
    ASSERT_TRUE(
        broken.send_raw({0x00, 0x00, 0x80, 0x08, 0x00, 0x01, 0x00, 0x00, 0x2D, 0x01, 0, 0}));
    EXPECT_FALSE(broken.read_record(2000)); // closed, not answered
    open_instance(good);
}

TEST_F(RobustnessTest, AStalledClientHoldsUpNobody) {
    RawClient stalled(server->port());
    ASSERT_TRUE(stalled.connected());
    // Half a fragment, then silence.
    ASSERT_TRUE(stalled.send_raw({0x00, 0x00, 0x80, 0x40, 0x00, 0x00}));
    RawClient other(server->port());
    ASSERT_TRUE(other.connected());
    open_instance(other);
    EXPECT_EQ(RawClient::dispatch_status(server->port(), 12345), 20001u);
}

TEST_F(RobustnessTest, ConnectionsBeyondTheLimitAreClosedUntilOthersGo) {
    server.reset();
    server = std::make_unique<RunningServer>(dir / "limited", ServerMode::little_endian,
                                             [](kls::ServerConfig& c) { c.max_sessions = 2; });
    auto first = std::make_unique<RawClient>(server->port());
    RawClient second(server->port());
    open_instance(*first);
    open_instance(second);
    RawClient refused(server->port());
    EXPECT_FALSE(refused.exchange(RawClient::connect_request("sales")));
    first.reset();
    EXPECT_TRUE(eventually([&] { return server->server().active_sessions() < 2; }));
    RawClient third(server->port());
    open_instance(third);
}

TEST_F(RobustnessTest, ASessionsInstancesAndCursorsAreLimited) {
    server.reset();
    server = std::make_unique<RunningServer>(dir / "limited", ServerMode::little_endian,
                                             [](kls::ServerConfig& c) {
                                                 c.max_instances = 2;
                                                 c.max_cursors = 3;
                                             });
    RawClient client(server->port());
    const RawBytes instance = open_instance(client);
    open_instance(client);
    std::vector<RawBytes> cursors;
    for (int k = 0; k < 3; ++k)
        cursors.push_back(open_cursor(client, instance));
    struct Case {
        RawBytes request;
        const char* text;
    };
    const Case cases[] = {
        {RawClient::connect_request("sales"), "max-instances 2"},
        {RawClient::id_request(303, instance), "max-cursors 3"},
    };
    for (const Case& c : cases) {
        const auto st = client.exchange(c.request);
        ASSERT_TRUE(st);
        EXPECT_EQ(st->error, 20023);
        EXPECT_EQ(st->text, c.text);
    }
    // The limits are per session, and a closed cursor counts no more.
    RawClient other(server->port());
    open_cursor(other, open_instance(other));
    ASSERT_EQ(client.exchange(RawClient::id_request(304, cursors[0]))->error, 0);
    open_cursor(client, instance);
}

TEST_F(RobustnessTest, NoThreadOrNoDescriptorForAConnectionRefusesOnlyThatOne) {
    for (auto fail : {kls::faults::fail_next_thread_start, kls::faults::fail_next_accept}) {
        fail();
        RawClient refused(server->port());
        EXPECT_FALSE(refused.connected());
        RawClient served(server->port());
        open_instance(served);
    }
}

TEST_F(RobustnessTest, AnExclusiveInstanceKeepsOthersOutUntilItGoes) {
    RawClient holder(server->port());
    RawClient other(server->port());
    const auto exclusive = holder.exchange(RawClient::connect_request("sales", "E"));
    ASSERT_TRUE(exclusive && exclusive->error == 0);
    for (const char* options : {"", "R", "E"}) {
        const auto st = other.exchange(RawClient::connect_request("sales", options));
        ASSERT_TRUE(st);
        EXPECT_EQ(st->error, 20007) << options;
    }
    const RawBytes id(exclusive->data.begin(), exclusive->data.begin() + 4);
    ASSERT_EQ(holder.exchange(RawClient::id_request(302, id))->error, 0);
    open_instance(other);
    // Now the file is open, so exclusive use is refused.
    EXPECT_EQ(holder.exchange(RawClient::connect_request("sales", "E"))->error, 20007);
}

// An instance whose PostgreSQL connection broke answers 20029, again and
// again (it is never connected anew behind the client's back), while the
// client's connection to the server goes on and a new connect works.
TEST_F(RobustnessTest, ALostDatabaseConnectionFailsOnlyItsInstance) {
    if (!on_postgres()) GTEST_SKIP() << "an instance's own database connection is PostgreSQL's";
    RawClient client(server->port());
    const RawBytes cursor = open_cursor(client, open_instance(client));
    // Only this program's own database: other test programs share the
    // cluster and the role.
    server->execute("sales", "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                             "datname = current_database() AND usename = '" +
                                 test_user() + "'");
    const auto select = RawClient::packed_request(307, cursor, {"orders", "id", "id < 3", ""});
    for (int k = 0; k < 2; ++k)
        EXPECT_EQ(client.exchange(select)->error, 20029);
    const RawBytes fresh = open_cursor(client, open_instance(client));
    EXPECT_EQ(
        client.exchange(RawClient::packed_request(307, fresh, {"orders", "id", "id < 3", ""}))
            ->error,
        0);
}

TEST_F(RobustnessTest, SeveralClientsAtOnceEachGetTheirOwnSelection) {
    constexpr int clients = 4;
    constexpr int rounds = 5;
    // What each client's selection holds, asked one at a time first.
    std::vector<std::int32_t> expected(clients);
    {
        RawClient client(server->port());
        const RawBytes cursor = open_cursor(client, open_instance(client));
        for (int k = 0; k < clients; ++k) {
            const std::string criteria = "customer = " + std::to_string(k + 1);
            const auto st = client.exchange(
                RawClient::packed_request(307, cursor, {"orders", "customer", criteria, ""}));
            ASSERT_TRUE(st);
            expected[static_cast<std::size_t>(k)] = st->count;
        }
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < clients; ++k) {
        threads.emplace_back([&, k] {
            RawClient client(server->port());
            const RawBytes cursor = open_cursor(client, open_instance(client));
            for (int round = 0; round < rounds; ++round) {
                const std::string criteria = "customer = " + std::to_string(k + 1);
                client.exchange(
                    RawClient::packed_request(307, cursor, {"orders", "customer", criteria, ""}));
                // Two records to a fetch, so answers interleave with the
                // other clients' many times over.
                std::int32_t seen = 0;
                for (;;) {
                    const auto st = client.exchange(RawClient::fetch_request(cursor, 2));
                    if (!st) {
                        ++failures;
                        return;
                    }
                    for (std::int32_t r = 0; r < st->count; ++r) {
                        std::int32_t customer = 0;
                        std::memcpy(&customer, st->data.data() + 4 * r, 4);
                        if (customer != k + 1) ++failures;
                    }
                    seen += st->count;
                    if (st->error != 0) break;
                    if (st->count < 2) continue;
                    if (seen == expected[static_cast<std::size_t>(k)]) {
                        // The next fetch reports the end alone.
                        const auto end = client.exchange(RawClient::fetch_request(cursor, 2));
                        if (!end || end->error != 11032) ++failures;
                        break;
                    }
                }
                if (seen != expected[static_cast<std::size_t>(k)]) ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

// A row of orders in character form: every column in table order, the id
// left blank so the server chooses it.
RawBytes order_row(int customer, const std::string& note) {
    std::string row;
    const auto field = [&row](const std::string& text, std::size_t width) {
        row += text;
        row.append(width - text.size(), ' ');
    };
    field("", 32);                       // id
    field(std::to_string(customer), 32); // customer
    field("1", 32);                      // product
    field("3", 32);                      // quantity
    field("20250601", 8);                // ordered
    row += note;                         // note: VARCHAR, NUL-padded
    row.append(40 - note.size(), '\0');
    return RawBytes(row.begin(), row.end());
}

RawBytes insert_request(const RawBytes& instance, const RawBytes& row) {
    RawBytes r = {0x3A, 0x01};
    r.insert(r.end(), instance.begin(), instance.end());
    RawBytes area(256, 0);
    const std::string texts[] = {"orders", "", "CHAR"};
    std::size_t at = 0;
    for (const std::string& t : texts) {
        std::copy(t.begin(), t.end(), area.begin() + static_cast<std::ptrdiff_t>(at));
        at += t.size() + 1;
    }
    r.insert(r.end(), area.begin(), area.end());
    r.insert(r.end(), row.begin(), row.end());
    return r;
}

TEST_F(RobustnessTest, ClientsWritingAtOnceLoseNothingAndSeeOnlyTheirOwnRows) {
    constexpr int clients = 4;
    constexpr int rows = 15;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < clients; ++k) {
        threads.emplace_back([&, k] {
            RawClient client(server->port());
            const RawBytes instance = open_instance(client);
            const std::string note = "client " + std::to_string(k);
            for (int n = 0; n < rows; ++n) {
                const auto st = client.exchange(insert_request(instance, order_row(k + 1, note)));
                if (!st || st->error != 0) ++failures;
            }
            const RawBytes cursor = open_cursor(client, instance);
            const auto sel = client.exchange(RawClient::packed_request(
                307, cursor, {"orders", "note", "note = '" + note + "'", ""}));
            if (!sel || sel->count != rows) ++failures;
            const auto fetched = client.exchange(RawClient::fetch_request(cursor, rows));
            if (!fetched || fetched->count != rows) {
                ++failures;
                return;
            }
            for (int r = 0; r < rows; ++r)
                if (std::string(reinterpret_cast<const char*>(fetched->data.data()) + 40 * r) !=
                    note)
                    ++failures;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
} // namespace kl::test

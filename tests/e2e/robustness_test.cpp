// The server under bad input, limits and several clients at once, driven by
// raw clients that speak the wire protocol themselves.
#include <atomic>

#include "faults.h"
#include "server_fixture.h"

namespace kl::test {
namespace {

using RobustnessTest = RawServerTest;

TEST_F(RobustnessTest, AnExclusiveInstanceKeepsOthersOutMalformedRequestsGetAnError) {
    start();
    // An exclusive instance keeps others out until it goes.
    RawClient client(server->port());
    RawClient other(server->port());
    const RawBytes exclusive = open_instance(client, "sales", "E");
    for (const char* options : {"", "R", "E"})
        EXPECT_EQ(other.exchange(RawClient::connect_request("sales", options))->error, 20007)
            << options;
    ASSERT_EQ(client.exchange(RawClient::id_request(302, exclusive))->error, 0);
    open_instance(other);
    // Now the file is open, so exclusive use is refused.
    EXPECT_EQ(client.exchange(RawClient::connect_request("sales", "E"))->error, 20007);

    // Malformed requests get an error and the connection goes on.
    const RawBytes unknown = {0xDE, 0xAD, 0xBE, 0xEF};
    const struct {
        const char* what;
        RawBytes request;
        std::int32_t error;
    } cases[] = {
        {"empty record", {}, 20001},
        {"half a function code", {0x2D}, 20001},
        {"unknown function code", {0xE7, 0x03}, 20002},
        {"connect text without its NUL", {0x2D, 0x01, 's', 'a', 'l', 'e', 's'}, 20001},
        {"connect outside the data folder", RawClient::connect_request("../sales"), 20005},
        {"connect to an absolute path", RawClient::connect_request("/etc/passwd"), 20005},
        {"connect to a missing database", RawClient::connect_request("nosuch"), 20006},
        {"connect with an unknown host option", RawClient::connect_request("sales", "Q"), 20018},
        {"cursor on an unknown instance", RawClient::id_request(303, unknown), 20003},
        {"select on an unknown cursor",
         RawClient::packed_request(307, unknown, {"orders", "*", "", ""}), 20004},
        {"select whose texts run past the end", {0x33, 0x01, 1, 0, 0, 0, 'o', 'r'}, 20001},
        {"fetch on an unknown cursor", RawClient::fetch_request(unknown, 5), 20004},
    };
    for (const auto& c : cases) {
        const auto st = client.exchange(c.request);
        ASSERT_TRUE(st) << c.what << ": no answer";
        EXPECT_EQ(st->error, c.error) << c.what << " (" << st->text << ")";
    }
    // After all that the connection serves a proper session; criteria that
    // do not parse, or name no column, are refused (criteria_test has the
    // ways they fail).
    const RawBytes cursor = open_cursor(client, open_instance(client));
    EXPECT_EQ(select(client, cursor, "orders", "id", "id < 11").error, 0);
    EXPECT_EQ(select(client, cursor, "orders", "*", "id = 'open").error, 20012);
    EXPECT_EQ(select(client, cursor, "orders", "*", "nosuch = 1").error, 20011);
}

TEST_F(RobustnessTest, BrokenFramingOrNoThreadOrDescriptorEndsOnlyThatConnection) {
    start();
    RawClient broken(server->port());
    // A record whose length word claims more than the record holds.
    const std::uint8_t record[] = {0x00, 0x00, 0x80, 0x08, 0x00, 0x01,
                                   0x00, 0x00, 0x2D, 0x01, 0,    0};
    ASSERT_EQ(os::send(broken.socket(), record, sizeof record), long(sizeof record));
    EXPECT_FALSE(broken.read_record(2000)); // closed, not answered
    RawClient good(server->port());
    open_instance(good);
    EXPECT_EQ(RawClient(server->port(), 12345).dispatch_status(), 20001u);
    // No thread or no descriptor for a connection refuses only that one.
    for (auto fail : {kls::faults::fail_next_thread_start, kls::faults::fail_next_accept}) {
        fail();
        RawClient refused(server->port());
        EXPECT_FALSE(refused.connected());
        RawClient served(server->port());
        open_instance(served);
    }
}

TEST_F(RobustnessTest, SessionsInstancesAndCursorsAreLimited) {
    start([](kls::ServerConfig& c) {
        c.max_sessions = 2;
        c.max_instances = 2;
        c.max_cursors = 3;
    });
    auto first = std::make_unique<RawClient>(server->port());
    const RawBytes instance = open_instance(*first);
    open_instance(*first);
    const RawBytes cursor = open_cursor(*first, instance);
    open_cursor(*first, instance);
    open_cursor(*first, instance);
    const auto instances = first->exchange(RawClient::connect_request("sales"));
    EXPECT_TRUE(instances && instances->error == 20023 && instances->text == "max-instances 2");
    const auto cursors = first->exchange(RawClient::id_request(303, instance));
    EXPECT_TRUE(cursors && cursors->error == 20023 && cursors->text == "max-cursors 3");
    // The limits are per session, and a closed cursor counts no more.
    RawClient second(server->port());
    open_cursor(second, open_instance(second));
    ASSERT_EQ(first->exchange(RawClient::id_request(304, cursor))->error, 0);
    open_cursor(*first, instance);
    // A third session is closed until another goes.
    RawClient third(server->port());
    EXPECT_FALSE(third.exchange(RawClient::connect_request("sales")));
    first.reset();
    EXPECT_TRUE(eventually([&] { return server->server().active_sessions() < 2; }));
    RawClient fourth(server->port());
    open_instance(fourth);
}

// An instance whose PostgreSQL connection broke answers 20029 every time (no
// reconnect behind the client's back); a new connect works.
TEST_F(RobustnessTest, ALostDatabaseConnectionFailsOnlyItsInstance) {
    if (!on_postgres()) GTEST_SKIP() << "an instance's own database connection is PostgreSQL's";
    start();
    RawClient client(server->port());
    const RawBytes cursor = open_cursor(client, open_instance(client));
    // Only this program's own database: others share the cluster and role.
    server->execute("sales", "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                             "datname = current_database() AND usename = '" +
                                 test_user() + "'");
    for (int k = 0; k < 2; ++k)
        EXPECT_EQ(select(client, cursor, "orders", "id", "id < 3").error, 20029);
    const RawBytes fresh = open_cursor(client, open_instance(client));
    EXPECT_EQ(select(client, fresh, "orders", "id", "id < 3").error, 0);
}

// Clients insert at once, then each reads its own rows back two to a fetch,
// so answers interleave with the others' many times over: nothing is lost
// and no client sees another's rows.
TEST_F(RobustnessTest, ClientsAtOnceLoseNothingAndSeeOnlyTheirOwnRows) {
    start();
    constexpr int clients = 4;
    constexpr int rows = 16;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < clients; ++k) {
        threads.emplace_back([&, k] {
            RawClient client(server->port());
            const RawBytes instance = open_instance(client);
            const std::string note = "client " + std::to_string(k);
            // id (blank: the server chooses), customer, product, quantity,
            // ordered, note.
            std::string row(32, ' ');
            for (const std::string& field :
                 {std::to_string(k + 1), std::string("1"), std::string("3")})
                row += field + std::string(32 - field.size(), ' ');
            row += "20250601" + note + std::string(40 - note.size(), '\0');
            const RawBytes insert = insert_request(instance, {"orders", "", "CHAR"}, row);
            for (int n = 0; n < rows; ++n) {
                const auto st = client.exchange(insert);
                if (!st || st->error != 0) ++failures;
            }
            const RawBytes cursor = open_cursor(client, instance);
            for (int round = 0; round < 3; ++round) {
                if (select(client, cursor, "orders", "customer", "note = '" + note + "'").error)
                    ++failures;
                int seen = 0;
                for (;;) {
                    const auto st = client.exchange(RawClient::fetch_request(cursor, 2));
                    if (!st || st->data.size() != 4u * st->count) return void(++failures);
                    const std::int32_t customer = k + 1;
                    for (std::int32_t r = 0; r < st->count; ++r)
                        if (std::memcmp(st->data.data() + 4 * r, &customer, 4) != 0) ++failures;
                    seen += st->count;
                    if (st->error != 0 || st->count != 2) break;
                }
                if (seen != rows) ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
} // namespace kl::test

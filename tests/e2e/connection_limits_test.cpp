// Connections that never log in, trickled records and idle sessions: the
// server's limits against clients that hold connections without using
// them, in the little-endian and the standalone mode.
#include <chrono>
#include <vector>

#include "raw_client.h"
#include "server_fixture.h"

namespace kl::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// Ways of holding a connection without logging in.
enum class Loiter { silent_dispatcher, silent_server_port, connect_word_only, trickling };

const char* loiter_name(Loiter kind) {
    switch (kind) {
    case Loiter::silent_dispatcher:
        return "silent on the dispatcher port";
    case Loiter::silent_server_port:
        return "silent on the server port";
    case Loiter::connect_word_only:
        return "connect word only";
    case Loiter::trickling:
        return "first byte of a record only";
    }
    return "";
}

class LimitTest : public ServerTest {
  protected:
    bool standalone() const { return GetParam() == ServerMode::standalone; }

    // The ways that apply to the mode: the connect word alone holds a
    // connection only in standalone mode, which has no server port.
    std::vector<Loiter> loiter_kinds() const {
        if (standalone())
            return {Loiter::silent_dispatcher, Loiter::connect_word_only, Loiter::trickling};
        return {Loiter::silent_dispatcher, Loiter::silent_server_port, Loiter::trickling};
    }

    // Opens a connection held in the given way.
    os::sock_t loiter(Loiter kind) {
        const bool server_port =
            kind == Loiter::silent_server_port || (kind == Loiter::trickling && !standalone());
        const os::sock_t s =
            os::connect_loopback(server_port ? server->server().server_port() : server->port());
        EXPECT_NE(s, os::bad_socket);
        RawBytes bytes;
        if (kind == Loiter::connect_word_only || (kind == Loiter::trickling && standalone()))
            bytes = {0x00, 0x00, 0x29, 0x81}; // 10625
        if (kind == Loiter::trickling) bytes.push_back(0x00);
        if (!bytes.empty()) {
            EXPECT_EQ(os::send(s, bytes.data(), bytes.size()), long(bytes.size()));
        }
        return s;
    }
};

class PendingCapTest : public LimitTest {
  protected:
    static constexpr int max_pending = 4;
    void configure(kls::ServerConfig& config) override { config.max_pending = max_pending; }
};

TEST_P(PendingCapTest, ConnectionsThatNeverLogInCannotCrowdOutARealClient) {
    std::vector<os::sock_t> held;
    for (Loiter kind : loiter_kinds()) {
        SCOPED_TRACE(loiter_name(kind));
        std::vector<os::sock_t> flood;
        for (int k = 0; k < 3 * max_pending; ++k)
            flood.push_back(loiter(kind));
        // Each one beyond the cap closed the oldest pending connection.
        const auto limit = Clock::now() + seconds(5);
        for (int k = 0; k < 2 * max_pending; ++k)
            EXPECT_TRUE(closed_by_server(flood[k], limit)) << k;
        for (int k = 2 * max_pending; k < 3 * max_pending; ++k)
            EXPECT_FALSE(closed_by_server(flood[k], Clock::now())) << k;
        held.insert(held.end(), flood.begin(), flood.end());
    }
    const auto start = Clock::now();
    const kl_long cursor = open_cursor(connect());
    EXPECT_EQ(select(cursor, "orders", "id", "id < 11").count, 10);
    EXPECT_LT(Clock::now() - start, seconds(1));
    for (os::sock_t s : held)
        os::close(s);
}

INSTANTIATE_TEST_SUITE_P(Modes, PendingCapTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::standalone),
                         mode_name);

class TimeLimitTest : public LimitTest {
  protected:
    void configure(kls::ServerConfig& config) override {
        config.login_timeout_seconds = 1;
        config.record_timeout_seconds = 1;
        config.idle_timeout_seconds = 2;
    }
};

TEST_P(TimeLimitTest, PendingConnectionsTrickledRecordsAndIdleSessionsAreDropped) {
    const auto start = Clock::now();
    std::vector<os::sock_t> loiterers;
    for (Loiter kind : loiter_kinds())
        loiterers.push_back(loiter(kind));
    RawClient trickler(server->port());
    const auto connect = RawClient::connect_request("sales");
    const auto logged_in = trickler.exchange(connect);
    ASSERT_TRUE(logged_in && logged_in->error == 0 && logged_in->data.size() >= 4);
    const auto idle_from = Clock::now();
    RawClient idler(server->port());
    ASSERT_TRUE(idler.exchange(connect));

    // Not logged in within a second: dropped, and no sooner.
    for (os::sock_t s : loiterers) {
        EXPECT_TRUE(closed_by_server(s, start + seconds(4)));
        os::close(s);
    }
    EXPECT_GE(Clock::now() - start, seconds(1));

    // A logged-in session waits between requests beyond those limits, but a
    // record, once begun, must arrive whole within a second.
    const RawBytes instance(logged_in->data.begin(), logged_in->data.begin() + 4);
    const auto cursor = trickler.exchange(RawClient::id_request(303, instance));
    ASSERT_TRUE(cursor);
    EXPECT_EQ(cursor->error, 0);
    const RawBytes record = RawClient::frame(RawClient::id_request(303, instance));
    const auto begun = Clock::now();
    bool dropped = false;
    for (std::uint8_t byte : record) {
        os::send(trickler.socket(), &byte, 1);
        if ((dropped = closed_by_server(trickler.socket(),
                                        Clock::now() + std::chrono::milliseconds(100))))
            break;
    }
    EXPECT_TRUE(dropped);
    EXPECT_GE(Clock::now() - begun, seconds(1));
    EXPECT_LT(Clock::now() - begun, seconds(3));

    // With --idle-timeout a session silent that long is dropped.
    EXPECT_TRUE(closed_by_server(idler.socket(), idle_from + seconds(6)));
    EXPECT_GE(Clock::now() - idle_from, seconds(2));
}

INSTANTIATE_TEST_SUITE_P(Modes, TimeLimitTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

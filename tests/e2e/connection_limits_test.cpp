// The server's limits against clients that hold connections without using
// them, on both connect paths (standalone has no server port).
#include "server_fixture.h"

namespace kl::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

class LimitTest : public ServerTest {
  protected:
    // Ways of holding a connection without logging in: silent on the
    // dispatcher; silent on the server port (standalone: the connect word
    // alone); a record begun and never finished.
    struct Loiter {
        bool server_port;
        RawBytes bytes;
    };
    std::vector<Loiter> loiter_kinds() const {
        if (GetParam() == ServerMode::standalone)
            return {{false, {}}, {false, {0, 0, 0x29, 0x81}}, {false, {0, 0, 0x29, 0x81, 0}}};
        return {{false, {}}, {true, {}}, {true, {0}}};
    }
    os::sock_t loiter(const Loiter& kind) {
        const os::sock_t s = os::connect_loopback(kind.server_port ? server->server().server_port()
                                                                   : server->port());
        EXPECT_NE(s, os::bad_socket);
        EXPECT_EQ(os::send(s, kind.bytes.data(), kind.bytes.size()), long(kind.bytes.size()));
        return s;
    }
};

constexpr int max_pending = 4;
class PendingCapTest : public LimitTest {
    void configure(kls::ServerConfig& config) override { config.max_pending = max_pending; }
};
class TimeLimitTest : public LimitTest {
    void configure(kls::ServerConfig& config) override {
        config.login_timeout_seconds = 1;
        config.record_timeout_seconds = 1;
        config.idle_timeout_seconds = 2;
    }
};

TEST_P(PendingCapTest, ConnectionsThatNeverLogInCannotCrowdOutARealClient) {
    std::vector<os::sock_t> held;
    for (const Loiter& kind : loiter_kinds()) {
        SCOPED_TRACE((kind.server_port ? "server port, " : "dispatcher, ") +
                     std::to_string(kind.bytes.size()) + " bytes");
        std::vector<os::sock_t> flood;
        for (int k = 0; k < 3 * max_pending; ++k)
            flood.push_back(loiter(kind));
        // Each one beyond the cap closed the oldest pending connection.
        const auto limit = Clock::now() + seconds(5);
        for (int k = 0; k < 3 * max_pending; ++k)
            EXPECT_EQ(closed_by_server(flood[k], k < 2 * max_pending ? limit : Clock::now()),
                      k < 2 * max_pending)
                << k;
        held.insert(held.end(), flood.begin(), flood.end());
    }
    const auto start = Clock::now();
    EXPECT_EQ(select(open_cursor(connect()), "orders", "id", "id < 11").count, 10);
    EXPECT_LT(Clock::now() - start, seconds(1));
    for (os::sock_t s : held)
        os::close(s);
}

TEST_P(TimeLimitTest, PendingConnectionsTrickledRecordsAndIdleSessionsAreDropped) {
    const auto start = Clock::now();
    std::vector<os::sock_t> loiterers;
    for (const Loiter& kind : loiter_kinds())
        loiterers.push_back(loiter(kind));
    RawClient trickler(server->port());
    const RawBytes instance = open_instance(trickler);
    const auto idle_from = Clock::now();
    RawClient idler(server->port());
    ASSERT_TRUE(idler.exchange(RawClient::connect_request("sales")));

    // Not logged in within a second: dropped, and no sooner.
    for (os::sock_t s : loiterers) {
        EXPECT_TRUE(closed_by_server(s, start + seconds(4)));
        os::close(s);
    }
    EXPECT_GE(Clock::now() - start, seconds(1));

    // A logged-in session waits between requests beyond those limits, but a
    // record, once begun, must arrive whole within a second.
    EXPECT_EQ(trickler.exchange(RawClient::id_request(303, instance))->error, 0);
    const auto begun = Clock::now();
    bool dropped = false;
    for (std::uint8_t byte : frame_record(RawClient::id_request(303, instance))) {
        os::send(trickler.socket(), &byte, 1);
        const auto until = Clock::now() + std::chrono::milliseconds(100);
        if ((dropped = closed_by_server(trickler.socket(), until))) break;
    }
    EXPECT_TRUE(dropped);
    EXPECT_GE(Clock::now() - begun, seconds(1));
    EXPECT_LT(Clock::now() - begun, seconds(3));

    // With --idle-timeout a session silent that long is dropped.
    EXPECT_TRUE(closed_by_server(idler.socket(), idle_from + seconds(6)));
    EXPECT_GE(Clock::now() - idle_from, seconds(2));
}

KL_SERVER_MODES(PendingCapTest, ServerMode::little_endian, ServerMode::standalone);
KL_SERVER_MODES(TimeLimitTest, ServerMode::little_endian, ServerMode::standalone);

} // namespace
} // namespace kl::test

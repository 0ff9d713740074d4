// The node section's timeout: every wait on a silent peer ends within the
// limit, a connection that failed mid-exchange is closed and marked down,
// and the blocks opened on it fail at once afterwards.

#include "library_fixture.h"

namespace kl::test {
namespace {

using Clock = std::chrono::steady_clock;

// Generous: the sanitizer builds and Wine are slow to start a call.
constexpr auto margin = std::chrono::seconds(3);

struct TimeoutTest : LibraryTest {
    // An environment file with a wait limit of one second.
    std::string limited(const std::string& node_entries = "") {
        return write_environment("", (node_entries.empty() ? peer_entries() : node_entries) +
                                         "timeout=1\n");
    }
};

// Each case leaves the peer silent at one step; the call fails with 18065
// and 10060 after about a second, and only one second: the limit bounds
// each wait, not the calls before it.
TEST_F(TimeoutTest, SilentPeersEndWithinTheLimit) {
    struct Case {
        const char* name;
        DispatchReply reply;
        std::optional<Step> connect_step; // the answer to the connect request
        const char* context;
    };
    const Case cases[] = {
        {"dispatcher never replies", {.hold_without_reply = true}, std::nullopt, "dispatch recv"},
        {"server never answers", {}, Step{.fault = Fault::never_answer}, ""},
        {"server stops half-way",
         {},
         Step{.answers = {status_answer(StatusRecord{}, false, {1, 2, 3, 4})},
              .fault = Fault::stop_mid_answer,
              .close_after = 40},
         ""},
    };
    const int baseline = open_descriptor_count();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer.set_dispatch_reply(c.reply);
        if (c.connect_step) peer.script({*c.connect_step});
        klstatus st{};
        kl_long instance = -5;
        const auto start = Clock::now();
        EXPECT_EQ(klconnect(limited().c_str(), "", &st, "u", "", &instance), KL_ERR_SOCKET);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, std::chrono::seconds(1));
        EXPECT_LT(took, std::chrono::seconds(1) + margin);
        EXPECT_EQ(st.info, platform::wsa_etimedout);
        EXPECT_EQ(std::string(st.buffer), c.context);
        EXPECT_EQ(instance, -5);
        EXPECT_EQ(transport_state.connected_flag, 0);
        peer.release_held();
        EXPECT_TRUE(peer.wait_for_disconnect());
    }
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == baseline; }));
}

// A listener whose queue is full never completes the handshake: the
// connect itself is what the limit ends.
TEST_F(TimeoutTest, ConnectToAFullListenerEndsWithinTheLimit) {
    std::uint16_t port = 0;
    const os::sock_t listener = os::listen_loopback(port, 0);
    std::vector<os::sock_t> clients;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        os::sock_t client = os::bad_socket;
        full = !os::connect_loopback_within(port, 300, client);
        clients.push_back(client);
    }
    if (full) {
        klstatus st{};
        kl_long instance = 0;
        const auto start = Clock::now();
        const std::string env = limited(
            "transport=tcpsockets\nipaddress=127.0.0.1\nport=" + std::to_string(port) + "\n");
        EXPECT_EQ(klconnect(env.c_str(), "", &st, "u", "", &instance), KL_ERR_SOCKET);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1) + margin);
        EXPECT_EQ(st.info, platform::wsa_etimedout);
        EXPECT_EQ(std::string(st.buffer), "127.0.0.1 (" + std::to_string(port) + ")");
    }
    for (os::sock_t client : clients)
        os::close(client);
    os::close(listener);
    if (!full) GTEST_SKIP() << "the system completed every handshake";
}

// An answer whose pieces each arrive within the limit is read whole, even
// when all of them together take longer than the limit.
TEST_F(TimeoutTest, AnAnswerArrivingInPiecesIsReadWhole) {
    script_connect(false);
    const kl_long instance = connect(limited());
    ASSERT_EQ(instance, 1);
    Answer slow = status_answer(StatusRecord{}, false, {0xC1, 0xC2, 0xC3, 0xC4});
    slow.fragments = {40, 40, 16};
    peer.script({Step{.answers = {slow}, .pause = std::chrono::milliseconds(450)}});
    klstatus st{};
    kl_long cursor = 0;
    EXPECT_EQ(klopencursor(instance, "", &st, &cursor), 0u) << st.error << " " << st.info;
    EXPECT_EQ(cursor, 1);
}

// After a failure mid-exchange the connection is gone: the instance and
// cursor opened on it fail at once, also once a new klconnect has made a
// new connection; disconnecting and closing them frees them.
TEST_F(TimeoutTest, BlocksOfALostConnectionStayLost) {
    script_connect(false);
    const kl_long old_instance = connect(limited());
    ASSERT_EQ(old_instance, 1);
    peer.script({{{status_answer(StatusRecord{}, false, {0xC1, 0xC2, 0xC3, 0xC4})}}});
    klstatus st{};
    kl_long old_cursor = 0;
    ASSERT_EQ(klopencursor(old_instance, "", &st, &old_cursor), 0u);

    peer.script({{.fault = Fault::never_answer}});
    kl_long cursor = 0;
    EXPECT_EQ(klopencursor(old_instance, "", &st, &cursor), KL_ERR_SOCKET);
    peer.release_held();
    EXPECT_TRUE(peer.wait_for_disconnect());

    // A new connect makes a new connection, not another use of the dead one.
    script_connect(false, {0x55, 0x66, 0x77, 0x88});
    const kl_long instance = connect(limited());
    EXPECT_EQ(instance, 2);
    EXPECT_EQ(peer.server_connections(), 2);
    const std::size_t sent = peer.requests().size();
    char record[64];
    EXPECT_EQ(klfetch(old_cursor, "", &st, 1, record), KL_ERR_NOT_CONNECTED);
    EXPECT_EQ(klopencursor(old_instance, "", &st, &cursor), KL_ERR_NOT_CONNECTED);
    EXPECT_EQ(klclosecursor(old_cursor, "", &st), KL_ERR_NOT_CONNECTED);
    EXPECT_EQ(client_tables.cursors.find(old_cursor), nullptr);
    EXPECT_EQ(kldisconnect(old_instance, "", &st), KL_ERR_NOT_CONNECTED);
    EXPECT_EQ(client_tables.instances.find(old_instance), nullptr);
    EXPECT_EQ(peer.requests().size(), sent); // no stale identifier went out

    // The new connection works, keeps its own limit, and has keepalive
    // probes after that many idle seconds where the system lets them be set.
    peer.script({{{status_answer(StatusRecord{}, false, {0xD1, 0xD2, 0xD3, 0xD4})}}});
    EXPECT_EQ(klopencursor(instance, "", &st, &cursor), 0u);
    const SocketLink& link = transport_state.na_instances.find(1)->link;
    EXPECT_EQ(link.wait_seconds, 1);
#if defined(_WIN32)
    EXPECT_EQ(os::keepalive_idle(link.socket), 0);
#else
    EXPECT_EQ(os::keepalive_idle(link.socket), 1);
#endif
}

} // namespace
} // namespace kl::test

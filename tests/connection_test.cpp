// klconnect and kldisconnect: the bytes of the dispatcher exchange and the
// requests, every failure an environment file or a peer can cause, and the
// node's timeout (each wait bounded, a lost connection's blocks stay lost).

#include <cstring>

#include "library_fixture.h"

namespace kl::test {
namespace {

// klconnect through env, expected to fail with error (returned and in the
// status) and to leave the caller's instance alone; the status it filled.
klstatus refused(const std::string& env, std::uint32_t error, const std::string& options = "") {
    klstatus st{};
    kl_long instance = -5;
    EXPECT_EQ(klconnect(env.c_str(), options.c_str(), &st, "u", "", &instance), error);
    EXPECT_EQ(st.error, static_cast<std::int32_t>(error));
    EXPECT_EQ(instance, -5);
    return st;
}

using ConnectTest = ByteOrderTest;

TEST_P(ConnectTest, ConnectAndDisconnectCarryTheExactBytes) {
    serve_in_order();
    const std::string env = write_environment("dbdirect=/data/sales\npassword=tiger\n");
    script_connect(big());

    klstatus st{};
    kl_long instance = 0;
    ASSERT_EQ(klconnect(env.c_str(), "w", &st, "scott", "ignored", &instance), 0u) << st.buffer;
    EXPECT_EQ(instance, 1);
    EXPECT_EQ(transport_state.byte_order_flag, big() ? 1 : 0);
    ASSERT_EQ(peer.dispatch_requests().size(), 1u);
    EXPECT_EQ(to_hex(peer.dispatch_requests()[0]), "00 00 29 81");

    // Code 301, file name, username, the environment's password, options.
    const Bytes sent = join({num(301, 2), text_bytes("sales.db"), text_bytes("scott"),
                             text_bytes("tiger"), text_bytes("DBDIRECT=/data/sales,W")});
    ASSERT_TRUE(peer.wait_for_requests(1));
    EXPECT_EQ(to_hex(peer.requests()[0].payload), to_hex(sent));
    EXPECT_EQ(peer.requests()[0].length_word, sent.size());

    answer();
    ASSERT_EQ(kldisconnect(instance, "KEEP;dropped", &st), 0u);
    ASSERT_TRUE(peer.wait_for_requests(2));
    EXPECT_EQ(to_hex(peer.requests()[1].payload),
              to_hex(join({num(302, 2), {0x11, 0x22, 0x33, 0x44}, text_bytes("KEEP", 80)})));
    EXPECT_TRUE(peer.wait_for_disconnect());
    EXPECT_EQ(transport_state.connected_flag, 0);
    EXPECT_EQ(kldisconnect(instance, "", &st), KL_ERR_NOT_CONNECTED);

    // Without dbdirect no password is sent, and the letter stands alone;
    // another server is refused while connected; the server's error does
    // not keep the instance or the connection at the disconnect.
    script_connect(big());
    const kl_long again = connect(write_environment("password=tiger\n"), "E");
    ASSERT_NE(again, 0);
    ASSERT_TRUE(peer.wait_for_requests(3));
    EXPECT_EQ(to_hex(peer.requests()[2].payload),
              to_hex(join({num(301, 2), text_bytes("sales.db"), text_bytes("scott"), text_bytes(""),
                           text_bytes("E")})));

    TestPeer other;
    const std::string other_env =
        write_environment("", test::peer_entries(other) + "timeout=1\n", "other.env");
    EXPECT_EQ(refused(other_env, KL_ERR_OTHER_SERVER).info, 0);
    EXPECT_EQ(other.dispatcher_connections(), 0);
    EXPECT_EQ(transport_state.na_instances.find(1)->use_count, 1);

    const klstatus clear{};
    answer(StatusRecord{}.error(3).warn(4).info(5).text("busy"));
    EXPECT_EQ(kldisconnect(again, "", &st), 0u);
    EXPECT_EQ(std::memcmp(&st, &clear, sizeof st), 0);
    EXPECT_TRUE(peer.wait_for_disconnect());
    EXPECT_EQ(client_tables.instances.used_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ConnectTest, ::testing::Bool(), byte_order_name);

TEST_F(LibraryTest, HostNameIsLookedUp) {
    // A name nobody knows fails with the lookup's own number.
    const klstatus st = refused(
        write_environment("", "transport=tcpsockets\nhostname=no-such-host.invalid\nport=1\n"),
        KL_ERR_SOCKET);
    EXPECT_GE(st.info, platform::wsa_host_not_found);
    EXPECT_LE(st.info, platform::wsa_no_data);
    EXPECT_EQ(std::string(st.buffer), "no-such-host.invalid");
    // A known name only where it is answered locally: a lookup that goes
    // out to a name server can take seconds on a machine without a network.
    if (read_file("/etc/hosts").find("localhost") == std::string::npos)
        GTEST_SKIP() << "no localhost entry in /etc/hosts";
    script_connect(false);
    EXPECT_NE(connect(write_environment("", "transport=TcpSockets\nhostname=localhost\nport=" +
                                                std::to_string(peer.dispatcher_port()) + "\n")),
              0);
}

// Failures found in the options or the environment file: no instance
// exists afterwards.  The node is port 1, where nothing listens, so a
// check that lets the connect go on fails at once with another error.
struct EnvironmentFailure {
    const char* name;
    std::string file; // the environment file's text; "" = no file at all
    std::int32_t error;
    std::string buffer = "@"; // "@" = the environment file's path
    std::string options = ""; // klconnect's options
    std::int32_t info = 0;
};

TEST_F(LibraryTest, EnvironmentAndOptionFailures) {
    const std::string node = "[Node PROD]\n" + node_at(1);
    const std::string named = "[environment]\nname=p\n[include]\n";
    const std::string head = named + "Node=PROD\nfilename=f\n";
    const std::string tcp = head + "[Node PROD]\ntransport=tcpsockets\n";
    const std::string long_options(256, 'R');
    const EnvironmentFailure cases[] = {
        {"no environment name", "[include]\nNode=PROD\nfilename=f\n" + node, 9948},
        {"no file", "", 9948},
        {"name NOT DEFINED", "[environment]\nname=NOT DEFINED\n[include]\n" + node, 9948},
        {"no node", named + "filename=f\n" + node, 18064},
        {"node of 32 characters", named + "Node=" + std::string(32, 'N') + "\nfilename=f\n", 18064},
        {"no filename", named + "Node=PROD\n" + node, 18064},
        {"no transport", head + "[Node PROD]\nipaddress=127.0.0.1\nport=1\n", 18064, "transport"},
        {"wrqppl", head + "[Node PROD]\ntransport=WRQPPL\n", 12007, "WRQPPL"},
        {"unknown transport", head + "[Node PROD]\ntransport=carrier\n", 18064, "transport"},
        {"host name and address", tcp + "hostname=a\nipaddress=1.2.3.4\nport=1\n", 18060,
         "host name & IP address"},
        {"service and port", tcp + "ipaddress=1.2.3.4\nservice=s\nport=1\n", 18060,
         "server name & port"},
        {"no port", tcp + "ipaddress=1.2.3.4\n", 18064},
        {"no host", tcp + "port=1\n", 18064},
        {"exclusive options", head + node, 18006, "conflicting keyword W", "R,W"},
        {"unknown option", head + node, 18006, "unknown keyword FAST", "FAST"},
        {"options of 256 characters", head + node, 10037, "options", long_options, 256},
        {"256 characters before the cut", head + node, 10037, "options", long_options + ";R", 256},
        {"timeout 0", head + node + "timeout=0\n", 18064},
        {"timeout beyond a day", head + node + "timeout=86401\n", 18064},
        {"timeout with a unit", head + node + "timeout=5s\n", 18064},
        {"timeout beyond 64 bits", head + node + "timeout=99999999999999999999\n", 18064},
    };
    for (const EnvironmentFailure& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            c.file.empty() ? (dir / "missing.env").string() : write_file("case.env", c.file);
        const klstatus st = refused(path, c.error, c.options);
        EXPECT_EQ(st.info, c.info);
        EXPECT_EQ(std::string(st.buffer), c.buffer == "@" ? path.substr(0, 35) : c.buffer);
        EXPECT_EQ(client_tables.instances.used_count(), 0);
    }
    // A file name of 256 characters is refused; 255 are the instance
    // block's room: that name is read (and found missing).
    const std::string name(256, 'e');
    EXPECT_EQ(std::string(refused(name, KL_ERR_ENVIRONMENT_ENTRY).buffer), name.substr(0, 35));
    refused(name.substr(1), KL_ERR_NOT_ENVIRONMENT);
    EXPECT_EQ(transport_state.connected_flag, 0);
}

// Transport failures (nothing listens on port 1) carry the failed step in the buffer and
// leave no connection (the fault injection test walks every socket operation).
struct TransportFailure {
    const char* name;
    DispatchReply reply;
    bool dispatcher_closed; // no dispatcher listening
    std::int32_t error;
    std::int32_t info;
    std::string buffer;
};

TEST_F(LibraryTest, TransportAndServerFailuresUndoTheConnection) {
    const TransportFailure cases[] = {
        {"dispatcher refuses", {.status = 11111}, false, 11111, 0, ""},
        {"no dispatcher", {}, true, 18065, 10061, "127.0.0.1 (1)"},
        {"server port closed", {.server_port = 1}, false, 18065, 10061, "connect"},
    };
    const int baseline = open_descriptor_count();
    for (const TransportFailure& c : cases) {
        SCOPED_TRACE(c.name);
        peer.set_dispatch_reply(c.reply);
        const std::uint16_t port = c.dispatcher_closed ? 1 : peer.dispatcher_port();
        const klstatus st = refused(write_environment("", node_at(port) + "timeout=1\n"), c.error);
        EXPECT_EQ(st.info, c.info);
        EXPECT_EQ(std::string(st.buffer), c.buffer);
        EXPECT_EQ(transport_state.connected_flag, 0);
        EXPECT_EQ(transport_state.na_instances.find(1), nullptr);
        EXPECT_EQ(client_tables.instances.used_count(), 0);
        EXPECT_TRUE(peer.wait_for_disconnect());
    }
    // Every socket the library opened is closed again (the peer's ends
    // close a moment after the library's).
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == baseline; }))
        << open_descriptor_count() << " descriptors open, " << baseline << " before";

    // And the library connects normally afterwards.  The node values are
    // cut before they are used: an address at 19 characters, a port at 9,
    // so the characters after them change nothing.
    peer.set_dispatch_reply({});
    std::string port = std::to_string(peer.dispatcher_port());
    port.insert(0, 9 - port.size(), '0');
    const std::string address = "127.0.0.00000000001"; // 19 characters
    script_connect(false);
    EXPECT_NE(connect(write_environment("", "transport=tcpsockets\nipaddress=" + address +
                                                "5\nport=" + port + "7\n")),
              0);
}

using Clock = std::chrono::steady_clock;

// Generous: the sanitizer builds and Wine are slow to start a call.
constexpr auto margin = std::chrono::seconds(3);

using TimeoutTest = LibraryTest;

// A peer silent at any step fails the call with 10060 after the one-second
// limit, and no later.
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
    const std::string limited = write_environment("", peer_entries() + "timeout=1\n");
    const int baseline = open_descriptor_count();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer.set_dispatch_reply(c.reply);
        if (c.connect_step) peer.script({*c.connect_step});
        const auto start = Clock::now();
        const klstatus st = refused(limited, KL_ERR_SOCKET);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, std::chrono::seconds(1));
        EXPECT_LT(took, std::chrono::seconds(1) + margin);
        EXPECT_EQ(st.info, platform::wsa_etimedout);
        EXPECT_EQ(std::string(st.buffer), c.context);
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
        const auto start = Clock::now();
        const klstatus st =
            refused(write_environment("", node_at(port) + "timeout=1\n"), KL_ERR_SOCKET);
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
// when all of them together take longer than the limit.  The blocks of a
// connection lost mid-exchange fail at once, also after a new klconnect;
// disconnecting and closing them frees them.
TEST_F(TimeoutTest, SlowAnswersAreReadAndBlocksOfALostConnectionStayLost) {
    const std::string limited = write_environment("", peer_entries() + "timeout=1\n");
    script_connect(false);
    const kl_long old_instance = connect(limited);
    ASSERT_EQ(old_instance, 1);
    Answer slow = status_answer(StatusRecord{}, false, {0xC1, 0xC2, 0xC3, 0xC4});
    slow.fragments = {40, 40, 16};
    peer.script({Step{.answers = {slow}, .pause = std::chrono::milliseconds(450)}});
    klstatus st{};
    kl_long old_cursor = 0;
    ASSERT_EQ(klopencursor(old_instance, "", &st, &old_cursor), 0u) << st.error << " " << st.info;
    ASSERT_EQ(old_cursor, 1);

    peer.script({{.fault = Fault::never_answer}});
    kl_long cursor = 0;
    EXPECT_EQ(klopencursor(old_instance, "", &st, &cursor), KL_ERR_SOCKET);
    peer.release_held();
    EXPECT_TRUE(peer.wait_for_disconnect());

    // A new connect makes a new connection, not another use of the dead one.
    script_connect(false, {0x55, 0x66, 0x77, 0x88});
    const kl_long instance = connect(limited);
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

// hostconnect and hostdisconnect on their own: the option checks that
// fail before any socket exists, the dispatcher exchange, the use count,
// the trace switches the options set, and the clean-up of failures.

#include <gtest/gtest.h>

#include "library_fixture.h"
#include "transport/host_connection.h"

namespace kl::test {
namespace {

std::string dispatcher_options(const TestPeer& peer, const std::string& extra = "") {
    return "IPADDRESS=127.0.0.1,PORT=" + std::to_string(peer.dispatcher_port()) + extra;
}

TEST_F(LibraryTest, OptionsRefusedBeforeAnySocket) {
    struct Case {
        const char* options;
        std::uint32_t result;
        const char* context; // nullptr: left as it was
    };
    const Case cases[] = {
        {"HOST=a,IPADDRESS=10.0.0.1,PORT=700", KL_ERR_BOTH_GIVEN, nullptr},
        {"SERVICE=x,PORT=1,HOST=a", KL_ERR_BOTH_GIVEN, nullptr},
        {"IPADDRESS=10.1.2.3", KL_ERR_ENVIRONMENT_ENTRY, nullptr},
        {"PORT=700", KL_ERR_ENVIRONMENT_ENTRY, nullptr},
        {"IPADDRESS=0.0.0.0,PORT=700", KL_ERR_BAD_IP_ADDRESS, "0.0.0.0"},
        {"IPADDRESS=0,PORT=700", KL_ERR_BAD_IP_ADDRESS, "0"},
        {"FAST=1,IPADDRESS=1.2.3.4,PORT=700", KL_MAKE_RESULT(KL_CAT_CLIENT, 18006), "hostconnect"},
        {"IPADDRESS,PORT=700", KL_MAKE_RESULT(KL_CAT_CLIENT, 18006), "hostconnect"},
        {"NODISABLE=1,IPADDRESS=1.2.3.4,PORT=7", KL_MAKE_RESULT(KL_CAT_CLIENT, 18006),
         "hostconnect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        copy_text(transport_state.context_text, "before");
        EXPECT_EQ(hostconnect("", c.options), c.result);
        EXPECT_STREQ(transport_state.context_text, c.context ? c.context : "before");
        EXPECT_EQ(transport_state.connected_flag, 0);
    }
    EXPECT_EQ(peer.dispatcher_connections(), 0);
}

TEST_F(LibraryTest, AcceptedKeywordsAndTheCut) {
    // Keywords without effect are accepted; the text ends at its first
    // semicolon outside quotes.
    const std::string options =
        dispatcher_options(peer) + ",CONFIG=c,RWINNAME=r,DDENAME=d,LOGON=l,NODISABLE;HOST=ignored";
    ASSERT_EQ(hostconnect("", options.c_str()), 0u);
    EXPECT_EQ(transport_state.connected_flag, 1);
    EXPECT_EQ(trace_state.error_display_level, 1);
    EXPECT_EQ(hostdisconnect("REFLECT=1,LOGOFF=2"), 0u);
    EXPECT_EQ(hostdisconnect("LOGOFF"), KL_MAKE_RESULT(KL_CAT_CLIENT, 18006));
}

TEST_F(LibraryTest, UseCountSharesOneConnection) {
    const std::string options = dispatcher_options(peer);
    ASSERT_EQ(hostconnect("", options.c_str()), 0u);
    EXPECT_EQ(to_hex(peer.dispatch_requests().at(0)), "00 00 29 81");
    EXPECT_EQ(hostconnect("", options.c_str()), KL_MAKE_RESULT(KL_CAT_CLIENT, 18004));
    EXPECT_EQ(hostconnect("", options.c_str()), KL_MAKE_RESULT(KL_CAT_CLIENT, 18004));
    EXPECT_EQ(transport_state.na_instances.find(1)->use_count, 3);
    EXPECT_EQ(peer.dispatcher_connections(), 1);

    // Same address, other port: refused, the connection untouched.
    const std::string other =
        "IPADDRESS=127.0.0.1,PORT=" + std::to_string(peer.dispatcher_port() ^ 1);
    EXPECT_EQ(hostconnect("", other.c_str()), 18069u);
    EXPECT_EQ(transport_state.na_instances.find(1)->use_count, 3);

    EXPECT_EQ(hostdisconnect(""), 0u);
    EXPECT_EQ(hostdisconnect(""), 0u);
    EXPECT_EQ(transport_state.connected_flag, 1);
    EXPECT_TRUE(eventually([&] { return peer.server_connections() == 1; }));
    EXPECT_EQ(hostdisconnect(""), 0u);
    EXPECT_EQ(transport_state.connected_flag, 0);
    EXPECT_TRUE(peer.wait_for_disconnect());
    // Nothing left to release.
    EXPECT_EQ(hostdisconnect(""), 18061u);
}

TEST_F(LibraryTest, DispatcherReplyDecidesByteOrderAndPort) {
    // The reply's port is used as it stands: a second peer's server port.
    TestPeer server;
    struct Case {
        std::uint16_t host_type;
        std::uint16_t flag;
    };
    for (const Case c : {Case{1, 0}, Case{2, 1}, Case{3, 1}, Case{0, 0}}) {
        SCOPED_TRACE(c.host_type);
        peer.set_dispatch_reply({.host_type = c.host_type, .server_port = server.server_port()});
        const int before = server.server_connections();
        ASSERT_EQ(hostconnect("", dispatcher_options(peer).c_str()), 0u);
        EXPECT_EQ(transport_state.host_type, c.host_type);
        EXPECT_EQ(transport_state.byte_order_flag, c.flag);
        EXPECT_TRUE(eventually([&] { return server.server_connections() == before + 1; }));
        EXPECT_EQ(hostdisconnect(""), 0u);
    }
    EXPECT_EQ(peer.server_connections(), 0);
}

TEST_F(LibraryTest, ErrdispSetsTheDisplayLevel) {
    struct Case {
        const char* value;
        std::uint16_t level;
    };
    for (const Case c : {Case{"0", 0}, Case{"2", 2}, Case{"1", 1}, Case{"7", 1}, Case{"x", 0}}) {
        SCOPED_TRACE(c.value);
        ::testing::internal::CaptureStderr();
        const std::string options = dispatcher_options(peer, std::string(",ERRDISP=") + c.value);
        ASSERT_EQ(hostconnect("", options.c_str()), 0u);
        EXPECT_EQ(trace_state.error_display_level, c.level);
        const std::string boxes = ::testing::internal::GetCapturedStderr();
        // At level 2 the transport's lines appear in message boxes.
        EXPECT_EQ(boxes.find("VESK Client/Server API:   Looking up server port.\n") !=
                      std::string::npos,
                  c.level == 2)
            << boxes;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(hostdisconnect(""), 0u);
        ::testing::internal::GetCapturedStderr();
    }
}

TEST_F(LibraryTest, ProfileSwitchesTracingOn) {
    const std::string log = (dir / "profile.log").string();
    ASSERT_EQ(hostconnect("", dispatcher_options(peer, ",PROFILE=" + log).c_str()), 0u);
    EXPECT_EQ(trace_state.debug_flag, 1);
    const std::string text = read_file(log);
    EXPECT_EQ(text.rfind(std::string(39, '*') + " ", 0), 0u) << text;
    EXPECT_EQ(text[40 + 24], '\n');
    EXPECT_NE(text.find("  HOSTCONNECT_OPT_PROFILE=" + log + "\n"), std::string::npos);
    EXPECT_NE(text.find(" Connection established with server on socket #"), std::string::npos);
    EXPECT_EQ(hostdisconnect(""), 0u);

    // Once tracing is on, a PROFILE option is ignored.
    const std::string second = (dir / "second.log").string();
    ASSERT_EQ(hostconnect("", dispatcher_options(peer, ",PROFILE=" + second).c_str()), 0u);
    EXPECT_FALSE(std::filesystem::exists(second));
    EXPECT_EQ(hostdisconnect(""), 0u);
}

TEST_F(LibraryTest, ProfileLongerThanTheLogNameIsCut) {
    // A PROFILE value past the 127 characters of the log file name is cut,
    // never copied past it: the log is the file of the cut name.
    const std::string long_name = (dir / std::string(200, 'p')).string();
    ASSERT_EQ(hostconnect("", dispatcher_options(peer, ",PROFILE=" + long_name).c_str()), 0u);
    EXPECT_EQ(std::string(trace_state.log_file), long_name.substr(0, 127));
    EXPECT_TRUE(std::filesystem::exists(long_name.substr(0, 127)));
    EXPECT_EQ(hostdisconnect(""), 0u);

    // A log that cannot be opened refuses the connection before any socket.
    trace_state.debug_flag = 0;
    const std::string bad = (dir / "missing" / "x.log").string();
    EXPECT_EQ(hostconnect("", dispatcher_options(peer, ",PROFILE=" + bad).c_str()),
              KL_MAKE_RESULT(KL_CAT_CLIENT, KL_ERR_LOG_OPEN));
    EXPECT_EQ(trace_state.debug_flag, 0);
    EXPECT_EQ(peer.dispatcher_connections(), 1);
}

TEST_F(LibraryTest, FailedHostconnectLeavesNothingOpen) {
    // (Short replies, refusals and missing memory are walked through
    // klconnect, with the same descriptor count.)
    const int baseline = open_descriptor_count();

    // A dispatcher status beyond the library's numbers comes back as
    // 18001 of the client category.
    peer.set_dispatch_reply({.status = 0x01000000});
    EXPECT_EQ(hostconnect("", dispatcher_options(peer).c_str()),
              KL_MAKE_RESULT(KL_CAT_CLIENT, 18001));
    EXPECT_EQ(transport_state.dispatcher_socket, platform::invalid_socket);

    // A slot 1 that is taken while the library is not connected cannot be
    // recorded into: 18061, and the new connection is closed again.
    peer.set_dispatch_reply({});
    ASSERT_EQ(transport_state.na_instances.create(), 0);
    transport_state.na_table_ready = 1;
    auto squatter = new_block<NetworkAccessInstance>();
    std::int32_t number = 0;
    ASSERT_EQ(transport_state.na_instances.add(squatter, number), 0);
    EXPECT_EQ(hostconnect("", dispatcher_options(peer).c_str()), 18061u);
    EXPECT_EQ(transport_state.connected_flag, 0);

    EXPECT_TRUE(peer.wait_for_disconnect());
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == baseline; }));
}

} // namespace
} // namespace kl::test

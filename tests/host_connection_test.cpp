// hostconnect and hostdisconnect on their own: the values refused before
// any socket exists, the dispatcher exchange, the use count, and the
// clean-up of failures.

#include <gtest/gtest.h>

#include "library_fixture.h"
#include "transport/host_connection.h"

namespace kl::test {
namespace {

using Machine = DispatcherAddress::Machine;

struct HostConnectionTest : LibraryTest {
    std::string port_text;
    DispatcherAddress at(const char* address = "127.0.0.1", std::uint16_t port = 0) {
        port_text = std::to_string(port ? port : peer.dispatcher_port());
        return {.machine_text = address, .port_text = port_text.c_str()};
    }
};

TEST_F(HostConnectionTest, ValuesRefusedBeforeAnySocket) {
    const std::uint32_t rejected = KL_MAKE_RESULT(KL_CAT_CLIENT, 18006);
    const struct {
        Machine machine;
        const char* machine_text;
        const char* port_text;
        std::uint32_t result;
        const char* step;
    } cases[] = {
        {Machine::ip_address, "0.0.0.0", "700", KL_ERR_BAD_IP_ADDRESS, "0.0.0.0"},
        {Machine::ip_address, "0", "700", KL_ERR_BAD_IP_ADDRESS, "0"},
        // What this connection once read as option text is still refused.
        {Machine::ip_address, "1.2.3.4", "7,NODISABLE", rejected, "hostconnect"},
        {Machine::host_name, "a b", "7", rejected, "hostconnect"},
        {Machine::ip_address, "1.2.3.4", "", rejected, "hostconnect"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.machine_text);
        const HostResult r = hostconnect(
            {.machine = c.machine, .machine_text = c.machine_text, .port_text = c.port_text});
        EXPECT_EQ(r.code, c.result);
        EXPECT_STREQ(r.step, c.step);
        EXPECT_EQ(transport_state.connected_flag, 0);
    }
    EXPECT_EQ(peer.dispatcher_connections(), 0);
}

// (Sharing, disconnecting, the dispatcher's refusals and every socket
// failure are walked through klconnect and kldisconnect.)
TEST_F(HostConnectionTest, TheDispatcherReplyDecidesTheByteOrder) {
    const struct {
        std::uint16_t host_type;
        std::uint16_t flag;
    } cases[] = {{0, 0}, {2, 1}, {3, 1}, {4, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host_type);
        peer.set_dispatch_reply({.host_type = c.host_type});
        ASSERT_EQ(hostconnect(at()).code, 0u);
        EXPECT_EQ(transport_state.host_type, c.host_type);
        EXPECT_EQ(transport_state.byte_order_flag, c.flag);
        EXPECT_EQ(hostdisconnect().code, 0u);
    }
    // A status beyond the library's numbers comes back as 18001 of the
    // client category.
    peer.set_dispatch_reply({.status = 0x01000000});
    EXPECT_EQ(hostconnect(at()).code, KL_MAKE_RESULT(KL_CAT_CLIENT, 18001));
}

} // namespace
} // namespace kl::test

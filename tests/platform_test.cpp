// The platform layer: no signal on a closed connection, and the string
// table (lookups and short receives are exercised by the call tests).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "peer/test_os.h"
#include "platform/platform.h"

namespace kl::platform {
namespace {

namespace os = kl::test::os;

TEST(Sockets, SendingToAClosedPeerFailsWithoutASignal) {
    std::uint16_t port = 0;
    const os::sock_t listener = os::listen_loopback(port);
    const socket_t s = socket_open();
    ASSERT_EQ(socket_connect(
                  s, {.family = 2, .port_net = host_to_net16(port), .address = {127, 0, 0, 1}}),
              0);
    ASSERT_EQ(socket_set_nodelay(s), 0);
    const os::sock_t accepted = os::accept(listener);
    ASSERT_NE(accepted, os::bad_socket);
    os::close(accepted);

    // The first sends may still be taken by the kernel; once the peer's
    // reset has arrived, a send fails.  Without protection the process
    // would die of SIGPIPE here.
    const char data[512] = {};
    long result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) {
        result = socket_send(s, data, sizeof data);
        if (result >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(last_socket_error() == wsa_econnreset || last_socket_error() == wsa_econnaborted)
        << last_socket_error();

    char buffer[8];
    EXPECT_LE(socket_recv(s, buffer, sizeof buffer), 0); // closed (0) or reset (-1), never data
    socket_close(s);
    os::close(listener);
}

// On Windows the test program carries string 18011 in its string table;
// elsewhere the file KL_STRINGS names is the table.
TEST(Process, StringTable) {
#if !defined(_WIN32)
    const std::string path = ::testing::TempDir() + "kl_strings.ini";
    std::ofstream(path) << "[strings]\n18011=Not connected to a server\n";
    ::setenv("KL_STRINGS", path.c_str(), 1);
#endif
    char text[10];
    EXPECT_EQ(load_string(18011, text), 9u);
    EXPECT_STREQ(text, "Not conne");
    EXPECT_EQ(load_string(1, text), 0u);
    EXPECT_STREQ(text, "");
#if !defined(_WIN32)
    ::unsetenv("KL_STRINGS");
    EXPECT_EQ(load_string(18011, text), 0u);
    std::remove(path.c_str());
#endif
}

} // namespace
} // namespace kl::platform

// The POSIX platform layer as the library sees it: Windows Sockets error
// numbers, no signal on a closed connection, thread identity, the string
// table and the fault-injection seam.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "platform/platform.h"

namespace kl::platform {
namespace {

// A listening socket on 127.0.0.1 with an ephemeral port.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
};

Ipv4Endpoint loopback(std::uint16_t port) {
    Ipv4Endpoint endpoint;
    endpoint.family = 2;
    endpoint.port_net = host_to_net16(port);
    endpoint.address[0] = 127;
    endpoint.address[3] = 1;
    return endpoint;
}

TEST(Sockets, ARefusedConnectionIsWsaError10061) {
    std::uint16_t port = 0;
    {
        Listener closed_again;
        port = closed_again.port;
    }
    const socket_t s = socket_open();
    ASSERT_NE(s, invalid_socket);
    EXPECT_EQ(socket_connect(s, loopback(port)), -1);
    EXPECT_EQ(last_socket_error(), wsa_econnrefused);
    socket_close(s);
}

TEST(Sockets, SendingToAClosedPeerFailsWithoutASignal) {
    Listener listener;
    const socket_t s = socket_open();
    ASSERT_EQ(socket_connect(s, loopback(listener.port)), 0);
    ASSERT_EQ(socket_set_nodelay(s), 0);
    const int accepted = ::accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    ::close(accepted);

    // The first sends may still be taken by the kernel; once the peer's
    // reset has arrived, a send fails.  Without protection the process
    // would die of SIGPIPE here.
    const char data[512] = {};
    long result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) {
        result = socket_send(s, data, sizeof data);
        if (result >= 0) ::usleep(1000);
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(last_socket_error() == wsa_econnreset || last_socket_error() == wsa_econnaborted)
        << last_socket_error();

    char buffer[8];
    const long received = socket_recv(s, buffer, sizeof buffer);
    EXPECT_LE(received, 0); // closed (0) or reset (-1), never data
    socket_close(s);
}

TEST(Sockets, HostAndServiceLookups) {
    std::uint8_t address[4] = {};
    ASSERT_EQ(resolve_host("localhost", address), 0);
    EXPECT_EQ(address[0], 127);
    EXPECT_EQ(resolve_host("no-such-host.invalid", address), -1);
    EXPECT_GE(last_socket_error(), wsa_host_not_found);
    EXPECT_LE(last_socket_error(), wsa_no_data);

    std::uint16_t port = 0;
    EXPECT_FALSE(lookup_service("", &port));
    EXPECT_FALSE(lookup_service("no-such-service-name", &port));
}

TEST(Sockets, ShortReceivesComeBackOneByteAtATime) {
    Listener listener;
    const socket_t s = socket_open();
    ASSERT_EQ(socket_connect(s, loopback(listener.port)), 0);
    const int accepted = ::accept(listener.fd, nullptr, nullptr);
    ASSERT_EQ(::write(accepted, "abcdef", 6), 6);
    ::usleep(20000);
    set_short_receive_every(1);
    char buffer[8];
    EXPECT_EQ(socket_recv(s, buffer, sizeof buffer), 1);
    set_short_receive_every(0);
    EXPECT_EQ(socket_recv(s, buffer, sizeof buffer), 5);
    ::close(accepted);
    socket_close(s);
}

TEST(Process, ThreadIdentityIsNonZeroAndDiffersBetweenThreads) {
    std::set<std::uint32_t> seen{thread_identity()};
    std::uint32_t others[3] = {};
    std::thread threads[3];
    for (int i = 0; i < 3; ++i)
        threads[i] = std::thread([&, i] { others[i] = thread_identity(); });
    for (auto& t : threads)
        t.join();
    for (std::uint32_t id : others)
        seen.insert(id);
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen.count(0u), 0u);
}

TEST(Process, StringTableComesFromTheKlStringsFile) {
    const std::string path = ::testing::TempDir() + "kl_strings.ini";
    std::ofstream(path) << "[strings]\n18011=Not connected to a server\n";
    ::setenv("KL_STRINGS", path.c_str(), 1);
    char text[10];
    EXPECT_EQ(load_string(18011, text), 9u);
    EXPECT_STREQ(text, "Not conne");
    EXPECT_EQ(load_string(1, text), 0u);
    ::unsetenv("KL_STRINGS");
    EXPECT_EQ(load_string(18011, text), 0u);
    std::remove(path.c_str());
}

TEST(Faults, AllocationsFailAfterTheCountGiven) {
    set_allocation_failures_after(2);
    EXPECT_TRUE(allocation_permitted());
    EXPECT_TRUE(allocation_permitted());
    EXPECT_FALSE(allocation_permitted());
    EXPECT_FALSE(allocation_permitted());
    set_allocation_failures_after(-1);
    EXPECT_TRUE(allocation_permitted());
}

} // namespace
} // namespace kl::platform

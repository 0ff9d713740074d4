// Test support: a connection from the library's transport to the test
// peer's server port, recorded as network access instance 1, without the
// dispatcher exchange.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "library_fixture.h"
#include "peer/test_peer.h"
#include "platform/platform.h"
#include "transport/exchange.h"
#include "transport/state.h"

namespace kl::test {

struct ConnectedTest : ::testing::Test {
    TestPeer peer;

    void connect(bool big_endian) {
        transport_state = {};
        auto block = new_block<NetworkAccessInstance>();
        block->socket = platform::socket_open();
        ASSERT_NE(block->socket, platform::invalid_socket);
        platform::Ipv4Endpoint server;
        server.family = 2;
        server.port_net = platform::host_to_net16(peer.server_port());
        server.address[0] = 127;
        server.address[3] = 1;
        ASSERT_EQ(platform::socket_connect(block->socket, server), 0);
        const platform::socket_t socket = block->socket;
        ASSERT_EQ(record_connection(block, socket_io(socket)), 0);
        transport_state.byte_order_flag = big_endian ? 1 : 0;
        // Partial reads are the everyday case, not a special test.
        platform::set_short_receive_every(3);
    }

    void TearDown() override { reset_library_state(); }
};

// Connected as above, with the client tables made and client cursor 1
// standing for the server cursor cursor_id; parameterised on the server's
// byte order (true = big-endian numbers).
struct CursorTest : ConnectedTest, ::testing::WithParamInterface<bool> {
    static inline const Bytes cursor_id = {0xC1, 0xC2, 0xC3, 0xC4};

    bool big() const { return GetParam(); }

    void SetUp() override {
        connect(big());
        transport_state.connected_flag = 1;
        ASSERT_EQ(create_client_tables(), 0);
        auto block = new_block<kl_cursor_t>();
        block->instance = 1;
        std::memcpy(block->server_cursor.bytes, cursor_id.data(), 4);
        std::int32_t number = 0;
        ASSERT_EQ(client_tables.cursors.add(block, number), 0);
        ASSERT_EQ(number, 1);
    }

    kl_cursor_t& cursor() { return *client_tables.cursors.find(1); }

    // The payload of the n-th request the peer received (waits for it).
    Bytes request(std::size_t n) {
        EXPECT_TRUE(peer.wait_for_requests(n + 1));
        const std::vector<Request> all = peer.requests();
        return n < all.size() ? all[n].payload : Bytes{};
    }
};

} // namespace kl::test

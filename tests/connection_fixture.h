// Test support: a connection from the library's transport to the test
// peer's server port, recorded as network access instance 1, without the
// dispatcher exchange.
#pragma once

#include <gtest/gtest.h>

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

} // namespace kl::test

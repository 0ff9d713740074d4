// Test support for the instance calls: a client instance (number 1, node
// PROD, server identifier 11 22 33 44) connected to the test peer, in the
// byte order the test's parameter names (true = big-endian server).
#pragma once

#include <gtest/gtest.h>

#include "library_fixture.h"

namespace kl::test {

inline const Bytes instance_id = {0x11, 0x22, 0x33, 0x44};

struct InstanceTest : LibraryTest, ::testing::WithParamInterface<bool> {
    kl_long instance = 0;

    bool big() const { return GetParam(); }

    void SetUp() override {
        LibraryTest::SetUp();
        peer.set_dispatch_reply({.host_type = static_cast<std::uint16_t>(big() ? 2 : 1)});
        script_connect(big(), instance_id);
        instance = connect(write_environment());
        ASSERT_EQ(instance, 1);
        platform::set_short_receive_every(3);
    }

    // A 32-bit (or width-byte) number in the server's order.
    Bytes num(std::uint32_t value, int width = 4) const {
        return number_bytes(value, width, big());
    }

    // Requests sent since the connect request.
    std::size_t sent() const { return peer.requests().size() - 1; }

    // The n-th request after the connect request (0-based).
    Request request(std::size_t n) const {
        EXPECT_TRUE(peer.wait_for_requests(n + 2));
        const std::vector<Request> all = peer.requests();
        return all.size() > n + 1 ? all[n + 1] : Request{};
    }
};

inline std::string byte_order_name(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "big_endian" : "little_endian";
}

} // namespace kl::test

// Test support for the calls on a cursor: a connection to the test peer
// (node PROD) with one cursor open on it, in the byte order the test asks
// for, and the requests that went out since.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library_fixture.h"

namespace kl::test {

struct CursorCallTest : LibraryTest {
    const Bytes server_cursor = {0xC0, 0x00, 0x00, 0x07};
    bool big = false;
    kl_long instance = 0;
    kl_long cursor = 0;
    std::size_t seen = 0; // requests before the calls under test

    void open_cursor(bool big_endian, const std::string& connect_options = "") {
        big = big_endian;
        peer.set_dispatch_reply({.host_type = static_cast<std::uint16_t>(big ? 2 : 1)});
        script_connect(big);
        instance = connect(write_environment(), connect_options.c_str());
        peer.script({{{status_answer(StatusRecord{}, big, server_cursor)}}});
        klstatus st{};
        ASSERT_EQ(klopencursor(instance, "", &st, &cursor), 0u);
        seen = 2;
    }

    kl_cursor_t& block() { return *client_tables.cursors.find(cursor); }

    // Scripts one step: the request is read, then these answers go out.
    void answer(std::vector<Answer> answers) { peer.script({{std::move(answers)}}); }
    void answer(const StatusRecord& status, const Bytes& data = {}) {
        answer({status_answer(status, big, data)});
    }

    // The requests received since the last look, waiting for count of them.
    std::vector<Request> sent(std::size_t count) {
        EXPECT_TRUE(peer.wait_for_requests(seen + count));
        const std::vector<Request> all = peer.requests();
        std::vector<Request> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
        seen = all.size();
        return fresh;
    }

    // Code and server cursor, the start of every request on the cursor.
    Bytes head(std::uint16_t code) const {
        return join({number_bytes(code, 2, big), server_cursor});
    }
};

// The same, once in each byte order.
struct BothOrders : CursorCallTest, ::testing::WithParamInterface<bool> {
    void SetUp() override {
        CursorCallTest::SetUp();
        open_cursor(GetParam());
    }
};

inline std::string order_name(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "big_endian" : "little_endian";
}

} // namespace kl::test

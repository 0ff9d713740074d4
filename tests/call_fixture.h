// Test support for calls on a cursor or an instance: a connection to the
// test peer in the byte order of the test's parameter, client blocks made
// directly in the tables (no connect or open-cursor conversation), and a
// trace log to read back.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "connection_fixture.h"
#include "frame/tables.h"
#include "frame/trace.h"

namespace kl::test {

struct CallTest : ConnectedTest, ::testing::WithParamInterface<bool> {
    std::string log;

    bool big() const { return GetParam(); }

    void SetUp() override {
        reset_library_state();
        connect(big());
        ASSERT_EQ(create_client_tables(), 0);
    }

    void TearDown() override {
        ConnectedTest::TearDown();
        if (!log.empty()) std::filesystem::remove(log);
    }

    // A cursor block with the given server identifier and row length.
    kl_long add_cursor(const Bytes& server_cursor, std::int32_t record_length = 0) {
        auto block = new_block<kl_cursor_t>();
        std::copy(server_cursor.begin(), server_cursor.end(), block->server_cursor.bytes);
        block->record_length = record_length;
        std::int32_t number = 0;
        EXPECT_EQ(client_tables.cursors.add(block, number), 0);
        return number;
    }

    kl_long add_instance(const Bytes& server_instance) {
        auto block = new_block<ClientInstance>();
        std::copy(server_instance.begin(), server_instance.end(), block->server_instance.bytes);
        std::int32_t number = 0;
        EXPECT_EQ(client_tables.instances.add(block, number), 0);
        return number;
    }

    // Switches the call trace on into a fresh log file.
    void trace_on() {
        log = (std::filesystem::temp_directory_path() /
               ("kl_calls_" + std::to_string(::getpid()) + ".log"))
                  .string();
        std::filesystem::remove(log);
        set_log_file(log.c_str());
        trace_state.debug_flag = 1;
    }

    // The answer of a request that the server follows with data records.
    Answer status(const StatusRecord& record = {}, const Bytes& data = {}) const {
        return status_answer(record, big(), data);
    }

    // The payload of request i, once it has arrived.
    Bytes request(std::size_t i) {
        EXPECT_TRUE(peer.wait_for_requests(i + 1));
        const auto all = peer.requests();
        return i < all.size() ? all[i].payload : Bytes{};
    }
};

inline std::string byte_order_name(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "big_endian" : "little_endian";
}

} // namespace kl::test

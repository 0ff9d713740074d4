// Test support for the exported calls: a test peer, a private directory
// that stands for the Windows directory (so talvern.ini is the test's own),
// environment files that point at the peer, and the library's process-wide
// state put back to "never used" (reset_process_state) before and after
// every test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "calls/call_support.h"
#include "calls/errors.h"
#include "frame/call.h"
#include "frame/tables.h"
#include "frame/trace.h"
#include "klsrv32.h"
#include "peer/test_os.h"
#include "peer/test_peer.h"
#include "platform/platform.h"
#include "transport/state.h"

namespace kl::test {

// An integer of width bytes in the server's byte order.
inline Bytes number_bytes(std::uint32_t value, int width, bool big_endian) {
    Bytes out;
    put_number(out, value, width, big_endian);
    return out;
}

// A NUL-terminated text, or a fixed field of size bytes (zero-filled).
inline Bytes text_bytes(const std::string& text, std::size_t size = 0) {
    Bytes out(text.begin(), text.end());
    out.resize(size ? size : text.size() + 1, 0);
    return out;
}

// n bytes counting up from first (wrapping), so a misplaced byte shows.
inline Bytes counting_bytes(std::size_t n, std::uint8_t first = 0) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

using os::open_descriptor_count;

// Waits up to five seconds for a condition that another thread (the
// peer's) makes true; the peer closes its ends a moment after the library.
template <class Condition> bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The call trace switched on into a fresh log file for the life of the
// object; the file goes with it.
struct TraceLog {
    const std::filesystem::path dir = os::make_temp_dir();
    const std::string path = (dir / "trace.log").string();
    TraceLog() {
        set_log_file(path.c_str());
        trace_state.debug_flag = 1;
    }
    ~TraceLog() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::string text() const { return read_file(path); }
};

// The library's state put back to "never used" and a private directory
// standing for the Windows directory, around every test.
struct WindirTest : ::testing::Test {
    std::filesystem::path dir;

    void SetUp() override {
        reset_process_state();
        dir = os::make_temp_dir();
        os::set_env("KL_WINDIR", dir.string().c_str());
    }

    void TearDown() override {
        reset_process_state();
        os::set_env("KL_WINDIR", nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string write_file(const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    }

    // Connects through an environment file; the client instance number, or 0
    // after a failure (reported by gtest).
    kl_long connect(const std::string& environment, const char* options = "",
                    const char* username = "scott") {
        klstatus st{};
        kl_long instance = 0;
        const std::uint32_t r =
            klconnect(environment.c_str(), options, &st, username, "", &instance);
        EXPECT_EQ(r, 0u) << "error " << st.error << " info " << st.info << " " << st.buffer;
        return r == 0 ? instance : 0;
    }

    // An environment file for node PROD; include_extra lands in [include].
    std::string write_environment_file(const std::string& include_extra,
                                       const std::string& node_entries,
                                       const std::string& name = "prod.env") {
        return write_file(name, "[environment]\nname=production\n[include]\nNode=PROD\n"
                                "filename=sales.db\n" +
                                    include_extra + "[Node PROD]\n" + node_entries);
    }
};

// The node section's server entries for a dispatcher on 127.0.0.1.
inline std::string node_at(std::uint16_t port) {
    return "transport=tcpsockets\nipaddress=127.0.0.1\nport=" + std::to_string(port) + "\n";
}
inline std::string peer_entries(const TestPeer& peer) {
    return node_at(peer.dispatcher_port());
}

struct LibraryTest : WindirTest {
    TestPeer peer;

    std::string peer_entries() const { return test::peer_entries(peer); }

    // node_entries (default: the peer's) replaces the node section's entries.
    std::string write_environment(const std::string& include_extra = "",
                                  const std::string& node_entries = "",
                                  const std::string& name = "prod.env") {
        return write_environment_file(include_extra,
                                      node_entries.empty() ? peer_entries() : node_entries, name);
    }

    // Answers the connect request with success and the given identifier.
    void script_connect(bool big_endian, const Bytes& server_instance = {0x11, 0x22, 0x33, 0x44}) {
        peer.script({{{status_answer(StatusRecord{}, big_endian, server_instance)}}});
    }
};

inline std::string byte_order_name(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "big_endian" : "little_endian";
}

// The library against a server of the byte order the test's parameter
// names (true = big-endian numbers), with answers in that order.
struct ByteOrderTest : LibraryTest, ::testing::WithParamInterface<bool> {
    bool big() const { return GetParam(); }

    void serve_in_order() {
        peer.set_dispatch_reply({.host_type = static_cast<std::uint16_t>(big() ? 2 : 1)});
    }

    Bytes num(std::uint32_t value, int width = 4) const {
        return number_bytes(value, width, big());
    }

    Answer reply(const StatusRecord& status = {}, const Bytes& data = {}) const {
        return status_answer(status, big(), data);
    }

    // Scripts one step: the next request is read, then these answers go out.
    void answer(std::vector<Answer> answers) { peer.script({{std::move(answers)}}); }
    void answer(const StatusRecord& status = {}, const Bytes& data = {}) {
        answer(std::vector<Answer>{reply(status, data)});
    }
};

// Client instance 1 (node PROD, server identifier instance_id) connected
// to the test peer; requests are counted from the first one after the
// set-up's.  Answers arrive in short pieces, the everyday case.
struct InstanceTest : ByteOrderTest {
    static inline const Bytes instance_id = {0x11, 0x22, 0x33, 0x44};
    kl_long instance = 0;
    std::size_t setup_requests = 1;

    void SetUp() override {
        ByteOrderTest::SetUp();
        serve_in_order();
        script_connect(big(), instance_id);
        instance = connect(write_environment());
        ASSERT_EQ(instance, 1);
        platform::set_short_receive_every(3);
    }

    std::size_t sent() const { return peer.requests().size() - setup_requests; }

    // The n-th request since the set-up (0-based); waits for it.
    Request request(std::size_t n) const {
        EXPECT_TRUE(peer.wait_for_requests(setup_requests + n + 1));
        const std::vector<Request> all = peer.requests();
        return setup_requests + n < all.size() ? all[setup_requests + n] : Request{};
    }
};

// The same with client cursor 1 open on server cursor cursor_id.
struct CursorTest : InstanceTest {
    static inline const Bytes cursor_id = {0xC1, 0xC2, 0xC3, 0xC4};
    kl_long cursor = 0;

    void SetUp() override {
        InstanceTest::SetUp();
        if (HasFatalFailure()) return;
        answer(StatusRecord{}, cursor_id);
        klstatus st{};
        ASSERT_EQ(klopencursor(instance, "", &st, &cursor), 0u);
        ASSERT_EQ(cursor, 1);
        setup_requests = 2;
    }

    kl_cursor_t& block() const { return *client_tables.cursors.find(cursor); }

    // Code and server cursor: the start of every request on the cursor.
    Bytes head(std::uint16_t code) const { return join({num(code, 2), cursor_id}); }
};

} // namespace kl::test

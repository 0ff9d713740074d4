// Test support for the exported calls: a test peer, a private directory
// that stands for the Windows directory (so talvern.ini is the test's own),
// environment files that point at the peer, and the library's process-wide
// state put back to "never used" before and after every test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

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

// Forgets every connection, instance, cursor and trace switch, closing the
// sockets the library still holds.
inline void reset_library_state() {
    if (NetworkAccessInstance* na = transport_state.na_instances.find(1)) {
        if (na->socket != platform::invalid_socket) platform::socket_close(na->socket);
    }
    if (transport_state.dispatcher_socket != platform::invalid_socket)
        platform::socket_close(transport_state.dispatcher_socket);
    transport_state = {};
    client_tables.instances.reset();
    client_tables.cursors.reset();
    client_tables.ready = 0;
    trace_state = {};
    message_file_state = {};
    owner_word = 0;
    platform::set_short_receive_every(0);
    platform::set_allocation_failures_after(-1);
}

// An integer of width bytes in the server's byte order.
inline Bytes number_bytes(std::uint32_t value, int width, bool big_endian) {
    Bytes out;
    for (int i = 0; i < width; ++i) {
        const int shift = big_endian ? 8 * (width - 1 - i) : 8 * i;
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
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

// The number of descriptors (on Windows: sockets) the process has open,
// for leak checks.
inline int open_descriptor_count() {
    return os::open_descriptor_count();
}

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
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct LibraryTest : ::testing::Test {
    TestPeer peer;
    std::filesystem::path dir;

    void SetUp() override {
        reset_library_state();
        dir = os::make_temp_dir();
        os::set_env("KL_WINDIR", dir.string().c_str());
    }

    void TearDown() override {
        reset_library_state();
        os::set_env("KL_WINDIR", nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Writes a file in the test's directory and returns its path.
    std::string write_file(const std::string& name, const std::string& text) {
        const std::filesystem::path path = dir / name;
        std::ofstream(path) << text;
        return path.string();
    }

    // The node section's server entries for the peer's dispatcher.
    std::string peer_entries() const {
        return "transport=tcpsockets\nipaddress=127.0.0.1\nport=" +
               std::to_string(peer.dispatcher_port()) + "\n";
    }

    // An environment file for node PROD; include_extra lands in [include],
    // node_entries replaces the node section's entries.
    std::string write_environment(const std::string& include_extra = "",
                                  const std::string& node_entries = "",
                                  const std::string& name = "prod.env") {
        return write_file(name, "[environment]\nname=production\n[include]\nNode=PROD\n"
                                "filename=sales.db\n" +
                                    include_extra + "[Node PROD]\n" +
                                    (node_entries.empty() ? peer_entries() : node_entries));
    }

    // Answers the connect request with success and the given identifier.
    void script_connect(bool big_endian, const Bytes& server_instance = {0x11, 0x22, 0x33, 0x44}) {
        peer.script({{{status_answer(StatusRecord{}, big_endian, server_instance)}}});
    }

    // Connects through an environment file the peer answers; the client
    // instance number, or 0 after a failure (reported by gtest).
    kl_long connect(const std::string& environment, const char* options = "",
                    const char* username = "scott") {
        klstatus st{};
        kl_long instance = 0;
        const std::uint32_t r =
            klconnect(environment.c_str(), options, &st, username, "", &instance);
        EXPECT_EQ(r, 0u) << "error " << st.error << " info " << st.info << " " << st.buffer;
        return r == 0 ? instance : 0;
    }
};

} // namespace kl::test

// What the test programs need from the operating system, in one place, so
// the test peer and the tests build for POSIX and for Windows alike: plain
// loopback sockets with a poll, environment variables, a private directory,
// the Windows directory, and the count of open descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace kl::test::os {

using sock_t = std::intptr_t;
inline constexpr sock_t bad_socket = -1;

// Starts the socket library where there is one (idempotent).
void start_sockets();

// A listening socket on 127.0.0.1 with an ephemeral port; throws on failure.
sock_t listen_loopback(std::uint16_t& port, int backlog = 16);
// A client whose connect to 127.0.0.1:port was started without waiting;
// true when it completed within wait_ms (false also on failure).
bool connect_loopback_within(std::uint16_t port, int wait_ms, sock_t& client);
// A blocking client connected to 127.0.0.1:port; bad_socket on failure.
sock_t connect_loopback(std::uint16_t port);
sock_t accept(sock_t listener);
void close(sock_t s);
void set_nodelay(sock_t s);
// Makes every later send and recv on s return at once.
void set_nonblocking(sock_t s);
// -1 when keepalive is off; else the idle seconds before the first probe
// (0 where the system does not tell).
int keepalive_idle(sock_t s);

// One send or receive call: the count, or -1.  A send never raises a
// signal when the peer has gone.
long send(sock_t s, const void* data, std::size_t length);
long recv(sock_t s, void* data, std::size_t length);
// After a -1: the call only found nothing to do yet (or was interrupted)
// and may be repeated.
bool try_again();

struct PollItem {
    sock_t socket = bad_socket;
    bool read = false;  // wait until readable (or closed)
    bool write = false; // wait until writable
    bool ready = false; // set by poll
};
// Waits until an item is ready; timeout_ms < 0 waits without limit.  The
// number of ready items, 0 on timeout, -1 on failure.
int poll(PollItem* items, std::size_t count, int timeout_ms);
// Sends (or receives) exactly n bytes, waiting at most timeout_ms for each
// piece; false when the connection closed, the time ran out or stop (when
// given) became readable.
bool transfer(sock_t s, bool sending, std::uint8_t* at, std::size_t n, int timeout_ms,
              sock_t stop = bad_socket);

// Two connected sockets: one byte written to the second makes the first
// readable for good (a pipe where there are pipes).
struct WakePair {
    sock_t read_end = bad_socket;
    sock_t write_end = bad_socket;
};
WakePair make_wake_pair(); // throws on failure
void wake(const WakePair& pair);
void close(WakePair& pair);

// Sets an environment variable; a null value removes it.
void set_env(const char* name, const char* value);

// A new, empty directory under the system's temporary directory.
std::filesystem::path make_temp_dir();

#if defined(_WIN32)
std::filesystem::path windows_directory();
#endif

// Descriptors the process has open (on Windows: sockets).
int open_descriptor_count();

} // namespace kl::test::os

#if defined(_WIN32)
// The POSIX calls the tests use for the environment.
inline int setenv(const char* name, const char* value, int) {
    kl::test::os::set_env(name, value);
    return 0;
}
inline int unsetenv(const char* name) {
    kl::test::os::set_env(name, nullptr);
    return 0;
}
#endif

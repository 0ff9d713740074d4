#include "peer/test_os.h"

#include <cerrno>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>

#if defined(_WIN32)
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600 // WSAPoll
#endif
// winsock2.h before windows.h, which would otherwise bring the older
// winsock.h.
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kl::test::os {

namespace {
#if defined(_WIN32)
using native_t = SOCKET;
using PollFd = WSAPOLLFD;
constexpr short poll_in = POLLRDNORM, poll_out = POLLWRNORM;
constexpr int send_flags = 0;
constexpr auto close_native = &::closesocket;
int system_poll(PollFd* fds, std::size_t count, int timeout_ms) {
    return ::WSAPoll(fds, static_cast<ULONG>(count), timeout_ms);
}
#else
using native_t = int;
using PollFd = pollfd;
constexpr short poll_in = POLLIN, poll_out = POLLOUT;
constexpr int send_flags = MSG_NOSIGNAL;
constexpr auto close_native = &::close;
int system_poll(PollFd* fds, std::size_t count, int timeout_ms) {
    int rc;
    do
        rc = ::poll(fds, count, timeout_ms);
    while (rc < 0 && errno == EINTR);
    return rc;
}
#endif
native_t native(sock_t s) {
    return static_cast<native_t>(s);
}
// INVALID_SOCKET and -1 alike become bad_socket.
sock_t wrap(native_t s) {
    return static_cast<sock_t>(s);
}
} // namespace

void close(sock_t s) {
    if (s != bad_socket) close_native(native(s));
}

long send(sock_t s, const void* data, std::size_t length) {
    return ::send(native(s), static_cast<const char*>(data), static_cast<int>(length), send_flags);
}

long recv(sock_t s, void* data, std::size_t length) {
    return ::recv(native(s), static_cast<char*>(data), static_cast<int>(length), 0);
}

#if defined(_WIN32)

void start_sockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("test sockets: WSAStartup failed");
}

void set_nonblocking(sock_t s) {
    u_long on = 1;
    ::ioctlsocket(native(s), FIONBIO, &on);
}

int keepalive_idle(sock_t s) {
    BOOL on = FALSE;
    int size = sizeof on;
    ::getsockopt(native(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), &size);
    return on ? 0 : -1;
}

bool try_again() {
    const int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR;
}

void set_env(const char* name, const char* value) {
    ::SetEnvironmentVariableA(name, value);
    ::_putenv_s(name, value ? value : "");
}

std::filesystem::path windows_directory() {
    char path[MAX_PATH + 1];
    const UINT n = ::GetWindowsDirectoryA(path, sizeof path);
    return std::filesystem::path(std::string(path, n < sizeof path ? n : 0));
}

// Sockets only: every thread holds a handle until it is joined, and the
// test peer joins its threads at its end.  Handle values are multiples of
// 4; a test process stays far below the 16384 values probed.
int open_descriptor_count() {
    int n = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (!::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) continue;
        int type = 0;
        int length = sizeof type;
        if (::getsockopt(static_cast<SOCKET>(value), SOL_SOCKET, SO_TYPE,
                         reinterpret_cast<char*>(&type), &length) == 0)
            ++n;
    }
    return n;
}

#else

void start_sockets() {}

void set_nonblocking(sock_t s) {
    ::fcntl(native(s), F_SETFL, ::fcntl(native(s), F_GETFL) | O_NONBLOCK);
}

int keepalive_idle(sock_t s) {
    int on = 0;
    int idle = 0;
    socklen_t size = sizeof on;
    if (::getsockopt(native(s), SOL_SOCKET, SO_KEEPALIVE, &on, &size) != 0 || !on) return -1;
    size = sizeof idle;
    if (::getsockopt(native(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size) != 0) return 0;
    return idle;
}

bool try_again() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

void set_env(const char* name, const char* value) {
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

int open_descriptor_count() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

#endif

int poll(PollItem* items, std::size_t count, int timeout_ms) {
    PollFd fds[8];
    if (count > 8) return -1;
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].fd = native(items[i].socket);
        fds[i].events =
            static_cast<short>((items[i].read ? poll_in : 0) | (items[i].write ? poll_out : 0));
        fds[i].revents = 0;
    }
    const int rc = system_poll(fds, count, timeout_ms);
    for (std::size_t i = 0; i < count; ++i)
        items[i].ready = rc > 0 && fds[i].revents != 0;
    return rc < 0 ? -1 : rc;
}

bool transfer(sock_t s, bool sending, std::uint8_t* at, std::size_t n, int timeout_ms,
              sock_t stop) {
    while (n > 0) {
        PollItem items[2] = {{.socket = s, .read = !sending, .write = sending},
                             {.socket = stop, .read = true}};
        if (poll(items, stop == bad_socket ? 1 : 2, timeout_ms) != 1 || items[1].ready)
            return false;
        const long done = sending ? send(s, at, n) : recv(s, at, n);
        if (done < 0 && try_again()) continue;
        if (done <= 0) return false;
        at += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

// A new socket, and the address of 127.0.0.1:port.
static sock_t new_socket(sockaddr_in& address, std::uint16_t port) {
    start_sockets();
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return wrap(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

sock_t listen_loopback(std::uint16_t& port, int backlog) {
    sockaddr_in address;
    const sock_t s = new_socket(address, 0);
    if (s == bad_socket) throw std::runtime_error("test sockets: socket failed");
    socklen_t length = sizeof address;
    if (::bind(native(s), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(native(s), backlog) != 0 ||
        ::getsockname(native(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(s);
        throw std::runtime_error("test sockets: cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return s;
}

sock_t connect_loopback(std::uint16_t port) {
    sockaddr_in address;
    sock_t s = new_socket(address, port);
    if (::connect(native(s), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        s = bad_socket;
    }
    return s;
}

bool connect_loopback_within(std::uint16_t port, int wait_ms, sock_t& client) {
    sockaddr_in address;
    client = new_socket(address, port);
    if (client == bad_socket) return false;
    set_nonblocking(client);
    if (::connect(native(client), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return true;
    PollItem item{.socket = client, .write = true};
    return poll(&item, 1, wait_ms) == 1;
}

sock_t accept(sock_t listener) {
    return wrap(::accept(native(listener), nullptr, nullptr));
}

void set_nodelay(sock_t s) {
    int one = 1;
    ::setsockopt(native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                 sizeof one);
}

WakePair make_wake_pair() {
    std::uint16_t port = 0;
    const sock_t listener = listen_loopback(port);
    WakePair pair;
    pair.write_end = connect_loopback(port);
    pair.read_end = pair.write_end == bad_socket ? bad_socket : accept(listener);
    close(listener);
    if (pair.read_end == bad_socket) {
        close(pair);
        throw std::runtime_error("test sockets: cannot make a wake-up pair");
    }
    return pair;
}

void wake(const WakePair& pair) {
    const char byte = 1;
    while (send(pair.write_end, &byte, 1) < 0 && try_again()) {
    }
}

void close(WakePair& pair) {
    close(pair.read_end);
    close(pair.write_end);
    pair = {};
}

std::filesystem::path make_temp_dir() {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        const std::filesystem::path dir = base / ("kltest." + std::to_string(random()));
        if (std::filesystem::create_directory(dir)) return dir;
    }
}

} // namespace kl::test::os

// The Windows platform layer: Windows Sockets 1.1, the system's private
// profile reader, message boxes and the application's string table, the
// thread identity, local time and the trace log file.

#include <windows.h>
#include <winsock.h>

#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/platform.h"

namespace kl::platform {

// ---- sockets ---------------------------------------------------------------

namespace {

// The Windows Sockets error of the calling thread's last failure, kept
// apart from WSAGetLastError because every later system call (a trace line
// written to the log, say) may overwrite that one before it is read.
thread_local int socket_error = 0;

void fail_with_wsa_error() {
    socket_error = WSAGetLastError();
}

SOCKET as_socket(socket_t socket) {
    return static_cast<SOCKET>(socket);
}

int clamp_length(std::size_t length) {
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

// Waits with select until the socket can be read (or written), at most
// wait_seconds.  True when it can, or when select reports it in the
// exception set (failed is then set, and the next call reports the
// failure); false with the error set when the wait ran out or select
// failed.
bool wait_ready(socket_t socket, bool for_writing, int wait_seconds, bool* failed = nullptr) {
    fd_set ready;
    fd_set exceptions;
    FD_ZERO(&ready);
    FD_ZERO(&exceptions);
    FD_SET(as_socket(socket), &ready);
    FD_SET(as_socket(socket), &exceptions);
    timeval limit{wait_seconds, 0};
    const int n = ::select(0, for_writing ? nullptr : &ready, for_writing ? &ready : nullptr,
                           &exceptions, &limit);
    if (n > 0) {
        if (failed) *failed = FD_ISSET(as_socket(socket), &exceptions) != 0;
        return true;
    }
    if (n == 0)
        socket_error = wsa_etimedout;
    else
        fail_with_wsa_error();
    return false;
}

// The socket's pending error (of a connect that failed without blocking).
int pending_error(socket_t socket) {
    int error = 0;
    int size = sizeof error;
    if (::getsockopt(as_socket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &size) != 0)
        return WSAGetLastError();
    return error;
}

// A connect bounded by a limit.  Windows Sockets 1.1 has no connect
// timeout and its receive and send timeout options cannot be relied on,
// so the socket becomes non-blocking for good and every wait is a select:
// a connect that fails shows in the exception set.
int connect_within(socket_t socket, const sockaddr_in& address, int wait_seconds) {
    u_long on = 1;
    if (::ioctlsocket(as_socket(socket), FIONBIO, &on) != 0) {
        fail_with_wsa_error();
        return -1;
    }
    if (::connect(as_socket(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        0)
        return 0;
    const int started = WSAGetLastError();
    if (started != WSAEWOULDBLOCK && started != WSAEINPROGRESS) {
        socket_error = started;
        return -1;
    }
    bool failed = false;
    if (!wait_ready(socket, true, wait_seconds, &failed)) return -1;
    if (failed) {
        const int error = pending_error(socket);
        socket_error = error != 0 ? error : wsa_econnrefused;
        return -1;
    }
    return 0;
}

} // namespace

int socket_startup() {
    // Version 1.1.  Every successful start is one more reference; the
    // library never calls WSACleanup, so the sockets stay usable for the
    // life of the process.
    WSADATA data;
    const int rc = WSAStartup(MAKEWORD(1, 1), &data);
    if (rc != 0) socket_error = rc;
    return rc;
}

socket_t socket_open() {
    if (socket_fault(SocketOp::open)) return invalid_socket;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        fail_with_wsa_error();
        return invalid_socket;
    }
    // Not inherited by processes the application starts.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<socket_t>(s);
}

int socket_connect(socket_t socket, const Ipv4Endpoint& endpoint, int wait_seconds) {
    if (socket_fault(SocketOp::connect)) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = endpoint.port_net;
    std::memcpy(&address.sin_addr, endpoint.address, 4);
    if (wait_seconds > 0) return connect_within(socket, address, wait_seconds);
    if (::connect(as_socket(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        0)
        return 0;
    fail_with_wsa_error();
    return -1;
}

namespace {

// Switches a boolean socket option on; 0 or -1.
int switch_on(socket_t socket, int level, int option) {
    if (socket_fault(SocketOp::set_option)) return -1;
    const BOOL on = TRUE;
    if (::setsockopt(as_socket(socket), level, option, reinterpret_cast<const char*>(&on),
                     sizeof on) != 0) {
        fail_with_wsa_error();
        return -1;
    }
    return 0;
}

} // namespace

int socket_set_nodelay(socket_t socket) {
    return switch_on(socket, IPPROTO_TCP, TCP_NODELAY);
}

// Windows Sockets 1.1 offers SO_KEEPALIVE alone: the probe timing is the
// system's.
int socket_set_keepalive(socket_t socket, int) {
    return switch_on(socket, SOL_SOCKET, SO_KEEPALIVE);
}

// Windows Sockets sends no signal on a closed connection and has no
// "more to follow" flag; the hint is not needed with Nagle's algorithm off.
// A socket with a limit is non-blocking (see connect_within): each send
// takes what the system has room for, and the waits in between are selects.
long socket_send(socket_t socket, const void* data, std::size_t length, bool, int wait_seconds) {
    if (const auto injected = socket_fault(SocketOp::send, &length)) return *injected;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    for (;;) {
        const int n = ::send(as_socket(socket), bytes + sent, clamp_length(length - sent), 0);
        if (n != SOCKET_ERROR) {
            sent += static_cast<std::size_t>(n);
            if (wait_seconds <= 0 || sent == length) return static_cast<long>(sent);
            continue;
        }
        if (wait_seconds > 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (!wait_ready(socket, true, wait_seconds)) return -1;
            continue;
        }
        fail_with_wsa_error();
        return -1;
    }
}

long socket_recv(socket_t socket, void* data, std::size_t length, int wait_seconds) {
    if (const auto injected = socket_fault(SocketOp::recv, &length)) return *injected;
    for (;;) {
        const int n = ::recv(as_socket(socket), static_cast<char*>(data),
                             clamp_length(receive_length_limit(length)), 0);
        if (n != SOCKET_ERROR) return n;
        if (wait_seconds > 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            if (!wait_ready(socket, false, wait_seconds)) return -1;
            continue;
        }
        fail_with_wsa_error();
        return -1;
    }
}

int socket_close(socket_t socket) {
    // An injected failure still releases the socket, as a real one does.
    if (socket_fault(SocketOp::close)) return ::closesocket(as_socket(socket)), -1;
    if (::closesocket(as_socket(socket)) != 0) {
        fail_with_wsa_error();
        return -1;
    }
    return 0;
}

int last_socket_error() {
    return socket_error;
}

void set_last_socket_error(int error) {
    socket_error = error;
}

int resolve_host(const char* name, std::uint8_t address[4]) {
    const hostent* entry = ::gethostbyname(name ? name : "");
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list[0] == nullptr) {
        fail_with_wsa_error();
        if (socket_error == 0) socket_error = wsa_no_data;
        return -1;
    }
    std::memcpy(address, entry->h_addr_list[0], 4);
    return 0;
}

bool lookup_service(const char* name, std::uint16_t* port_net) {
    if (name == nullptr || *name == '\0') return false;
    const servent* entry = ::getservbyname(name, "tcp");
    if (entry == nullptr) return false;
    *port_net = static_cast<std::uint16_t>(entry->s_port);
    return true;
}

std::uint16_t host_to_net16(std::uint16_t value) {
    return htons(value);
}

std::uint16_t net_to_host16(std::uint16_t value) {
    return ntohs(value);
}

// ---- profile files ---------------------------------------------------------

namespace {

bool has_directory_part(const char* file) {
    for (const char* c = file; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/' || *c == ':') return true;
    }
    return false;
}

// A name without a directory part is looked for in the Windows directory
// (GetWindowsDirectoryA), or in KL_WINDIR when that is set, as on POSIX:
// the tests and unattended installations keep their own talvern.ini there.
// Returns false when the path does not fit.
bool profile_path(const char* file, char (&path)[MAX_PATH]) {
    const DWORD n = GetEnvironmentVariableA("KL_WINDIR", path, MAX_PATH);
    std::size_t length = n;
    if (n == 0 || n >= MAX_PATH) {
        const UINT w = GetWindowsDirectoryA(path, MAX_PATH);
        if (w == 0 || w >= MAX_PATH) return false;
        length = w;
    }
    const std::size_t name_length = std::strlen(file);
    if (length + 1 + name_length >= MAX_PATH) return false;
    if (length > 0 && path[length - 1] != '\\') path[length++] = '\\';
    std::memcpy(path + length, file, name_length + 1);
    return true;
}

std::size_t store_default(const char* fallback, std::span<char> out) {
    const std::size_t n = std::min(std::strlen(fallback), out.size() - 1);
    std::memcpy(out.data(), fallback, n);
    out[n] = '\0';
    return n;
}

} // namespace

std::size_t read_profile_string(const char* file, const char* section, const char* key,
                                const char* default_value, std::span<char> out) {
    if (out.empty()) return 0;
    const char* fallback = default_value ? default_value : "";
    if (file == nullptr || section == nullptr || key == nullptr)
        return store_default(fallback, out);
    char path[MAX_PATH];
    if (!has_directory_part(file)) {
        if (!profile_path(file, path)) return store_default(fallback, out);
        file = path;
    }
    const DWORD size = out.size() > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(out.size());
    return GetPrivateProfileStringA(section, key, fallback, out.data(), size, file);
}

// ---- user interface --------------------------------------------------------

namespace {

// KL_MSGBOX=stderr sends message boxes to standard error, for runs that no
// one watches (a modal box would wait for ever).
bool boxes_to_stderr() {
    char value[16];
    const DWORD n = GetEnvironmentVariableA("KL_MSGBOX", value, sizeof value);
    return n > 0 && n < sizeof value && lstrcmpiA(value, "stderr") == 0;
}

} // namespace

void message_box(window_t owner, const char* text, const char* title, unsigned type) {
    if (boxes_to_stderr()) {
        write_stderr(title ? title : "");
        write_stderr(": ");
        write_stderr(text ? text : "");
        const std::size_t n = text ? std::strlen(text) : 0;
        if (n == 0 || text[n - 1] != '\n') write_stderr("\n");
        return;
    }
    MessageBoxA(reinterpret_cast<HWND>(owner), text ? text : "", title ? title : "", type);
}

window_t focus_window() {
    return reinterpret_cast<window_t>(GetFocus());
}

// The string table of the application's executable (a null module handle).
std::size_t load_string(unsigned id, std::span<char> out) {
    if (out.empty()) return 0;
    out[0] = '\0';
    const int size = out.size() > INT_MAX ? INT_MAX : static_cast<int>(out.size());
    const int n = LoadStringA(nullptr, id, out.data(), size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// ---- process ---------------------------------------------------------------

std::uint32_t thread_identity() {
    // The thread id, never 0 and unique among live threads.  (The handle
    // GetCurrentThread returns is a constant pseudo-handle, the same in
    // every thread, so it cannot tell two callers apart.)
    return static_cast<std::uint32_t>(GetCurrentThreadId());
}

void yield_thread() {
    Sleep(0);
}

LocalTime local_time() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    LocalTime t;
    t.year = now.wYear;
    t.month = now.wMonth;
    t.day = now.wDay;
    t.weekday = now.wDayOfWeek;
    t.hour = now.wHour;
    t.minute = now.wMinute;
    t.second = now.wSecond;
    return t;
}

int system_error() {
    return errno;
}

void write_stderr(const char* text) {
    if (text == nullptr) return;
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    std::size_t left = std::strlen(text);
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
        if (!WriteFile(handle, text, chunk, &written, nullptr) || written == 0) return;
        text += written;
        left -= written;
    }
}

// The log is a text file: opened in append text mode for each line, so a
// line break is written as CR LF.
bool append_to_file(const char* path, const char* data, std::size_t length) {
    if (path == nullptr || *path == '\0') return false;
    FILE* file = ::fopen(path, "a");
    if (file == nullptr) return false;
    const bool written = length == 0 || ::fwrite(data, 1, length, file) == length;
    return ::fclose(file) == 0 && written;
}

bool can_append(const char* path) {
    return append_to_file(path, "", 0);
}

} // namespace kl::platform

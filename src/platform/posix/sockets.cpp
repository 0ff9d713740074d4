// POSIX sockets behind the Windows Sockets interface the library was built
// on.  Every failure is reported with its Windows Sockets error number.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

namespace kl::platform {
namespace {

// The Windows Sockets error of the calling thread's last failure.
thread_local int socket_error = 0;

// errno values map to the Windows Sockets numbers of the same meaning.
// An errno without a counterpart is reported as 10000 + its own value
// (the Windows Sockets numbers are 10000 + the BSD numbers, so the cause
// stays recoverable from the number).
int wsa_from_errno(int e) {
    switch (e) {
    case EINTR:
        return wsa_eintr;
    case EBADF:
        return wsa_ebadf;
    case EACCES:
        return wsa_eacces;
    case EFAULT:
        return wsa_efault;
    case EINVAL:
        return wsa_einval;
    case EMFILE:
        return wsa_emfile;
    case ENFILE:
        return wsa_emfile;
    case EAGAIN:
        return wsa_ewouldblock;
    case EINPROGRESS:
        return wsa_einprogress;
    case EALREADY:
        return wsa_ealready;
    case ENOTSOCK:
        return wsa_enotsock;
    case EMSGSIZE:
        return wsa_emsgsize;
    case EPROTONOSUPPORT:
        return wsa_eprotonosupport;
    case EAFNOSUPPORT:
        return wsa_eafnosupport;
    case EADDRINUSE:
        return wsa_eaddrinuse;
    case EADDRNOTAVAIL:
        return wsa_eaddrnotavail;
    case ENETDOWN:
        return wsa_enetdown;
    case ENETUNREACH:
        return wsa_enetunreach;
    case ENETRESET:
        return wsa_enetreset;
    case ECONNABORTED:
        return wsa_econnaborted;
    case ECONNRESET:
        return wsa_econnreset;
    case EPIPE:
        return wsa_econnreset; // the peer has closed; Windows reports a reset
    case ENOBUFS:
        return wsa_enobufs;
    case ENOMEM:
        return wsa_enobufs;
    case EISCONN:
        return wsa_eisconn;
    case ENOTCONN:
        return wsa_enotconn;
    case ESHUTDOWN:
        return wsa_eshutdown;
    case ETIMEDOUT:
        return wsa_etimedout;
    case ECONNREFUSED:
        return wsa_econnrefused;
    case EHOSTDOWN:
        return wsa_ehostdown;
    case EHOSTUNREACH:
        return wsa_ehostunreach;
    default:
        return 10000 + e;
    }
}

void fail_with_errno() {
    socket_error = wsa_from_errno(errno);
}

int as_fd(socket_t socket) {
    return static_cast<int>(socket);
}

// Waits until the socket is ready for events, at most wait_seconds.  True
// when it is (or the socket failed, which the next call reports); false
// with the error set when the wait ran out or poll itself failed.
bool wait_ready(socket_t socket, short events, int wait_seconds) {
    pollfd item{as_fd(socket), events, 0};
    for (;;) {
        const int n = ::poll(&item, 1, wait_seconds * 1000);
        if (n > 0) return true;
        if (n == 0) {
            socket_error = wsa_etimedout;
            return false;
        }
        if (errno != EINTR) {
            fail_with_errno();
            return false;
        }
        // An interrupted wait starts again with the whole limit: the limit
        // is there to end a wait on a silent peer, not to time the call.
    }
}

bool set_blocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

// A connect bounded by a limit: started without blocking, waited for, and
// its outcome read from the socket.  The socket is blocking again after it
// (the bounded sends and receives ask for no waiting per call).
int connect_within(int fd, const sockaddr_in& address, int wait_seconds) {
    if (!set_blocking(fd, false)) {
        fail_with_errno();
        return -1;
    }
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        if (!wait_ready(fd, POLLOUT, wait_seconds)) {
            set_blocking(fd, true);
            return -1;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        errno = error;
        rc = error == 0 ? 0 : -1;
    }
    if (rc != 0) {
        fail_with_errno();
        set_blocking(fd, true);
        return -1;
    }
    if (!set_blocking(fd, true)) {
        fail_with_errno();
        return -1;
    }
    return 0;
}

} // namespace

int socket_startup() {
    return 0;
}

socket_t socket_open() {
    if (socket_fault(SocketOp::open)) return invalid_socket;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        fail_with_errno();
        return invalid_socket;
    }
    return fd;
}

int socket_connect(socket_t socket, const Ipv4Endpoint& endpoint, int wait_seconds) {
    if (socket_fault(SocketOp::connect)) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = endpoint.port_net;
    std::memcpy(&address.sin_addr, endpoint.address, 4);
    if (wait_seconds > 0) return connect_within(as_fd(socket), address, wait_seconds);
    for (;;) {
        if (::connect(as_fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
            0)
            return 0;
        if (errno != EINTR) break;
        // An interrupted connect goes on in the background; wait for it
        // by asking again, which reports EALREADY/EISCONN.
        if (::connect(as_fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                0 ||
            errno == EISCONN)
            return 0;
        if (errno != EALREADY && errno != EINTR) break;
    }
    fail_with_errno();
    return -1;
}

int socket_set_nodelay(socket_t socket) {
    if (socket_fault(SocketOp::set_option)) return -1;
    const int on = 1;
    if (::setsockopt(as_fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        fail_with_errno();
        return -1;
    }
    return 0;
}

int socket_set_keepalive(socket_t socket, int idle_seconds) {
    if (socket_fault(SocketOp::set_option)) return -1;
    const int on = 1;
    if (::setsockopt(as_fd(socket), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        fail_with_errno();
        return -1;
    }
    if (idle_seconds > 0 && (::setsockopt(as_fd(socket), IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds,
                                          sizeof idle_seconds) != 0 ||
                             ::setsockopt(as_fd(socket), IPPROTO_TCP, TCP_KEEPINTVL, &idle_seconds,
                                          sizeof idle_seconds) != 0)) {
        fail_with_errno();
        return -1;
    }
    return 0;
}

long socket_send(socket_t socket, const void* data, std::size_t length, bool more,
                 int wait_seconds) {
    if (const auto injected = socket_fault(SocketOp::send, &length)) return *injected;
    int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
    if (wait_seconds > 0) flags |= MSG_DONTWAIT;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    for (;;) {
        const ssize_t n = ::send(as_fd(socket), bytes + sent, length - sent, flags);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
            if (wait_seconds <= 0 || sent == length) return static_cast<long>(sent);
            continue;
        }
        if (errno == EINTR) continue;
        if (wait_seconds > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(socket, POLLOUT, wait_seconds)) return -1;
            continue;
        }
        fail_with_errno();
        return -1;
    }
}

long socket_recv(socket_t socket, void* data, std::size_t length, int wait_seconds) {
    if (const auto injected = socket_fault(SocketOp::recv, &length)) return *injected;
    const int flags = wait_seconds > 0 ? MSG_DONTWAIT : 0;
    for (;;) {
        const ssize_t n = ::recv(as_fd(socket), data, receive_length_limit(length), flags);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (wait_seconds > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(socket, POLLIN, wait_seconds)) return -1;
            continue;
        }
        fail_with_errno();
        return -1;
    }
}

int socket_close(socket_t socket) {
    // An injected failure still releases the descriptor, as a real one does.
    if (socket_fault(SocketOp::close)) return ::close(as_fd(socket)), -1;
    // close is not retried on EINTR: the descriptor is released either way.
    if (::close(as_fd(socket)) != 0 && errno != EINTR) {
        fail_with_errno();
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
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(name ? name : "", nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        switch (rc) {
        case EAI_AGAIN:
            socket_error = wsa_try_again;
            break;
        case EAI_FAIL:
            socket_error = wsa_no_recovery;
            break;
        case EAI_NODATA:
            socket_error = wsa_no_data;
            break;
        case EAI_SYSTEM:
            fail_with_errno();
            break;
        default:
            socket_error = wsa_host_not_found;
            break;
        }
        if (found) ::freeaddrinfo(found);
        return -1;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(address, &in->sin_addr, 4);
    ::freeaddrinfo(found);
    return 0;
}

bool lookup_service(const char* name, std::uint16_t* port_net) {
    if (name == nullptr || *name == '\0') return false;
    servent entry{};
    servent* result = nullptr;
    char scratch[1024];
    if (::getservbyname_r(name, "tcp", &entry, scratch, sizeof scratch, &result) != 0 ||
        result == nullptr)
        return false;
    *port_net = static_cast<std::uint16_t>(result->s_port);
    return true;
}

std::uint16_t host_to_net16(std::uint16_t value) {
    return htons(value);
}
std::uint16_t net_to_host16(std::uint16_t value) {
    return ntohs(value);
}

} // namespace kl::platform

#include "listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "server_errors.h"

namespace kls {

namespace {

constexpr std::uint32_t connect_request = 10625;
constexpr std::uint32_t standalone_status = 18070;
constexpr std::size_t dispatch_reply_size = 52;
// A connection that sends no connect request in this time is dropped, so
// a silent client cannot hold a dispatcher thread for ever.
constexpr int dispatch_timeout_seconds = 10;

int listen_on(const std::string& address, std::uint16_t port, std::uint16_t& bound,
              std::string& error) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return -1;
    }
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof at;
    if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(s, 64) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        error = std::string("cannot listen on ") + address + ":" + std::to_string(port) + ": " +
                std::strerror(errno);
        ::close(s);
        return -1;
    }
    bound = ntohs(at.sin_port);
    return s;
}

void put_be32(std::uint8_t* at, std::uint32_t v) {
    at[0] = static_cast<std::uint8_t>(v >> 24);
    at[1] = static_cast<std::uint8_t>(v >> 16);
    at[2] = static_cast<std::uint8_t>(v >> 8);
    at[3] = static_cast<std::uint8_t>(v);
}

} // namespace

Server::Server(ServerConfig config) {
    state_.config = std::move(config);
}

Server::~Server() {
    stop();
    // Client threads hold a reference to the state: wait for them to go.
    // stop() shut their sockets down, so none of them waits for a client.
    while (active_.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int fd : {dispatcher_socket_, server_socket_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

bool Server::start(const std::string& address, std::uint16_t dispatcher_port,
                   std::uint16_t server_port, std::string& error) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    dispatcher_socket_ = listen_on(address, dispatcher_port, dispatcher_port_, error);
    if (dispatcher_socket_ < 0) return false;
    if (!state_.config.standalone) {
        server_socket_ = listen_on(address, server_port, server_port_, error);
        if (server_socket_ < 0) return false;
    }
    return true;
}

void Server::stop() {
    if (stopping_.exchange(true)) return;
    if (wake_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] auto n = ::write(wake_[1], &byte, 1);
    }
    std::lock_guard lock(clients_mutex_);
    for (int s : clients_)
        ::shutdown(s, SHUT_RDWR);
}

void Server::track(int socket) {
    std::lock_guard lock(clients_mutex_);
    clients_.insert(socket);
    // A client accepted while stopping is shut down at once.
    if (stopping_.load()) ::shutdown(socket, SHUT_RDWR);
}

void Server::untrack(int socket) {
    std::lock_guard lock(clients_mutex_);
    clients_.erase(socket);
}

void Server::run() {
    while (!stopping_.load()) {
        pollfd fds[3] = {
            {wake_[0], POLLIN, 0}, {dispatcher_socket_, POLLIN, 0}, {server_socket_, POLLIN, 0}};
        const nfds_t count = server_socket_ >= 0 ? 3 : 2;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents & POLLIN) accept_dispatcher();
        if (count == 3 && (fds[2].revents & POLLIN)) accept_server();
    }
}

template <class Work> void Server::start_thread(int socket, bool session, Work work) {
    ++active_;
    if (session) ++sessions_;
    track(socket);
    std::thread([this, socket, session, work] {
        work(socket);
        if (session) --sessions_;
        --active_;
    }).detach();
}

void Server::accept_dispatcher() {
    const int s = ::accept4(dispatcher_socket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) return;
    // A dispatcher exchange is brief, but its thread counts; in standalone
    // mode the connection goes on as a session, so it counts as one.
    const bool session = state_.config.standalone;
    if (active_.load() >= 2 * state_.config.max_sessions ||
        (session && sessions_.load() >= state_.config.max_sessions)) {
        ::close(s);
        return;
    }
    start_thread(s, session, [this](int socket) { dispatch(socket); });
}

void Server::accept_server() {
    const int s = ::accept4(server_socket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) return;
    if (sessions_.load() >= state_.config.max_sessions) {
        ::close(s);
        return;
    }
    start_thread(s, true, [this](int socket) { serve_client(socket); });
}

void Server::dispatch(int socket) {
    struct Untrack {
        Server& server;
        int socket;
        ~Untrack() { server.untrack(socket); }
    };
    timeval limit{dispatch_timeout_seconds, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    Channel channel(socket);
    const Untrack untrack{*this, socket}; // before the channel closes the socket
    const auto request = channel.read_raw(4);
    if (!request) return;
    const std::uint32_t word = (std::uint32_t{(*request)[0]} << 24) |
                               (std::uint32_t{(*request)[1]} << 16) |
                               (std::uint32_t{(*request)[2]} << 8) | (*request)[3];
    std::uint8_t reply[dispatch_reply_size] = {};
    const bool standalone = state_.config.standalone;
    const std::uint32_t status = word != connect_request ? err_malformed
                                 : standalone            ? standalone_status
                                                         : 0;
    put_be32(reply, status);
    const std::uint16_t host_type = state_.config.big_endian ? 2 : 1;
    reply[48] = static_cast<std::uint8_t>(host_type >> 8);
    reply[49] = static_cast<std::uint8_t>(host_type);
    const std::uint16_t port = htons(server_port_);
    std::memcpy(reply + 50, &port, 2);
    if (!channel.write_raw(reply) || status != standalone_status) return;

    timeval none{0, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Session session(channel, state_);
    session.run();
}

void Server::serve_client(int socket) {
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Channel channel(socket);
    {
        Session session(channel, state_);
        session.run();
    }
    untrack(socket); // before the channel closes the socket
}

} // namespace kls

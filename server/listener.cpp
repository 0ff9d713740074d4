#include "listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>

#include "faults.h"
#include "files.h"
#include "protocol.h"
#include "server_errors.h"
#include "sqlite_storage.h"

namespace kls {

namespace {

constexpr std::uint32_t connect_request = protocol::dispatch_connect_word;
constexpr std::uint32_t standalone_status = protocol::dispatch_standalone;
using protocol::dispatch_reply_size;

// Keepalive on every client socket: after 60 s without traffic the system
// probes every 10 s, and after 6 unanswered probes the connection fails,
// so a session whose client vanished (machine off, network gone) ends
// about two minutes later instead of holding its slot for ever.
constexpr int keepalive_idle_seconds = 60;
constexpr int keepalive_interval_seconds = 10;
constexpr int keepalive_probes = 6;

void tune_client_socket(int s) {
    const int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &keepalive_idle_seconds,
                 sizeof keepalive_idle_seconds);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &keepalive_interval_seconds,
                 sizeof keepalive_interval_seconds);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &keepalive_probes, sizeof keepalive_probes);
}

std::string peer_name(const sockaddr_in& at) {
    char address[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &at.sin_addr, address, sizeof address);
    return std::string(address) + ":" + std::to_string(ntohs(at.sin_port));
}

// One line on stderr for every connection the server refuses or drops,
// formatted as printf does.  It allocates nothing, so it may report a
// failure to allocate.
[[gnu::format(printf, 2, 3)]] void log_connection(const std::string& peer, const char* format,
                                                  ...) {
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "klserver: %s: %s\n", peer.c_str(), line);
}

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
    if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(s, SOMAXCONN) != 0 ||
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
    for (int fd : {dispatcher_socket_, server_socket_, wake_[0], wake_[1], reserve_fd_})
        if (fd >= 0) ::close(fd);
}

bool Server::start(const std::string& address, std::uint16_t dispatcher_port,
                   std::uint16_t server_port, std::string& error) {
    if (!prepare_folders(state_.config.data_dir, state_.config.export_dir, error)) return false;
    if (!state_.config.storage && state_.config.data_dir.empty()) {
        error = "no data folder";
        return false;
    }
    if (!state_.config.storage)
        state_.config.storage = make_sqlite_storage(
            {state_.config.data_dir, state_.config.write_wait_seconds * 1000, state_.config.users});
    reserve_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
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
    for (const auto& [id, client] : clients_)
        ::shutdown(client.socket, SHUT_RDWR);
}

std::uint64_t Server::admit(int socket, const std::string& peer) {
    std::string evicted;
    std::uint64_t id = 0;
    {
        std::lock_guard lock(clients_mutex_);
        if (pending_.load() >= state_.config.max_pending) {
            // The map is in order of arrival: the first pending one is the
            // oldest.  Its thread sees the shutdown and ends.
            for (auto& [n, client] : clients_) {
                if (client.stage != Stage::pending) continue;
                ::shutdown(client.socket, SHUT_RDWR);
                client.stage = Stage::dropped;
                --pending_;
                evicted = client.peer;
                break;
            }
        }
        id = next_client_++;
        clients_.emplace(id, Client{socket, peer, Stage::pending});
        ++pending_;
        // A client accepted while stopping is shut down at once.
        if (stopping_.load()) ::shutdown(socket, SHUT_RDWR);
    }
    if (!evicted.empty())
        log_connection(evicted, "closed: oldest of %d connections not logged in (--max-pending)",
                       state_.config.max_pending);
    return id;
}

bool Server::log_in(std::uint64_t id) {
    std::string refused;
    {
        std::lock_guard lock(clients_mutex_);
        const auto it = clients_.find(id);
        // Closed as the oldest pending connection meanwhile.
        if (it == clients_.end() || it->second.stage != Stage::pending) return false;
        if (sessions_.load() < state_.config.max_sessions) {
            it->second.stage = Stage::logged_in;
            --pending_;
            ++sessions_;
            return true;
        }
        refused = it->second.peer;
    }
    log_connection(refused, "refused: %d sessions already logged in (--max-sessions)",
                   state_.config.max_sessions);
    return false;
}

void Server::release(std::uint64_t id) {
    std::lock_guard lock(clients_mutex_);
    const auto it = clients_.find(id);
    if (it == clients_.end()) return;
    if (it->second.stage == Stage::pending) --pending_;
    if (it->second.stage == Stage::logged_in) --sessions_;
    clients_.erase(it);
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
        if (fds[1].revents & POLLIN) accept_on(dispatcher_socket_, &Server::dispatch);
        if (count == 3 && (fds[2].revents & POLLIN))
            accept_on(server_socket_, &Server::serve_client);
    }
}

void Server::accept_on(int listener, Work work) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    int s = -1;
    if (faults::accept_should_fail())
        errno = EMFILE;
    else
        s = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (s < 0) {
        if (errno == EMFILE || errno == ENFILE) refuse_without_descriptors(listener);
        return;
    }
    const auto accepted = Channel::Clock::now();
    tune_client_socket(s);
    std::string peer;
    std::optional<std::uint64_t> id;
    ++active_;
    try {
        peer = peer_name(from);
        id = admit(s, peer);
        if (faults::thread_start_should_fail())
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "thread start");
        std::thread([this, s, id = *id, peer, accepted, work] {
            serve_thread(s, id, peer, accepted, work);
        }).detach();
    } catch (const std::exception& e) {
        // No thread for this one connection: it is closed, the server goes on.
        if (id) release(*id);
        ::close(s);
        --active_;
        log_connection(peer, "refused: cannot start a thread: %s", e.what());
    }
}

void Server::refuse_without_descriptors(int listener) {
    if (reserve_fd_ >= 0) ::close(reserve_fd_);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (s >= 0) {
        ::close(s);
        log_connection(peer_name(from), "refused: no file descriptor left");
    }
    reserve_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void Server::serve_thread(int socket, std::uint64_t id, const std::string& peer,
                          Channel::Clock::time_point accepted, Work work) {
    struct Release {
        Server& server;
        std::uint64_t id;
        ~Release() { server.release(id); }
    };
    std::string why;
    try {
        Channel channel(socket);
        const Release release{*this, id}; // before the channel closes the socket
        channel.set_record_timeout(std::chrono::seconds(state_.config.record_timeout_seconds));
        // Until its session logs in, which lifts this deadline.
        channel.set_deadline(accepted + std::chrono::seconds(state_.config.login_timeout_seconds));
        why = (this->*work)(channel, id);
    } catch (const std::exception& e) {
        // Nothing may escape a client thread: the connection is closed.
        log_connection(peer, "dropped: %s", e.what());
    } catch (...) {
        log_connection(peer, "dropped: unexpected failure");
    }
    if (!why.empty()) log_connection(peer, "%s", why.c_str());
    --active_; // last: the server may be destroyed from here on
}

std::string Server::end_reason(const Channel& channel) const {
    const ServerConfig& c = state_.config;
    switch (channel.end()) {
    case Channel::End::deadline:
        return "dropped: not logged in within " + std::to_string(c.login_timeout_seconds) +
               " s (--login-timeout)";
    case Channel::End::record_timeout:
        return "dropped: a record not complete within " + std::to_string(c.record_timeout_seconds) +
               " s (--record-timeout)";
    case Channel::End::answer_timeout:
        return "dropped: an answer not taken within " + std::to_string(c.record_timeout_seconds) +
               " s (--record-timeout)";
    case Channel::End::broken:
        return "dropped: broken record framing";
    case Channel::End::open:
    case Channel::End::closed:
        break;
    }
    return {};
}

std::string Server::dispatch(Channel& channel, std::uint64_t id) {
    const auto request = channel.read_raw(protocol::dispatch_request_size);
    if (!request) return end_reason(channel);
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
    reply[protocol::dispatch_host_type_at] = static_cast<std::uint8_t>(host_type >> 8);
    reply[protocol::dispatch_host_type_at + 1] = static_cast<std::uint8_t>(host_type);
    const std::uint16_t port = htons(server_port_);
    std::memcpy(reply + protocol::dispatch_port_at, &port, 2);
    if (!channel.write_raw(reply)) return end_reason(channel);
    if (status == err_malformed) return "refused: connect request word " + std::to_string(word);
    if (status != standalone_status) return {};
    return serve_client(channel, id);
}

std::string Server::serve_client(Channel& channel, std::uint64_t id) {
    Session session(channel, state_, [this, id] { return log_in(id); });
    const std::string why = session.run();
    return why.empty() ? end_reason(channel) : "dropped: " + why;
}

} // namespace kls

// The listening side: the dispatcher port, the server port, and a thread
// per client connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "session.h"

namespace kls {

class Server {
  public:
    explicit Server(ServerConfig config);
    ~Server(); // stops

    // Prepares the data and export folders (see prepare_folders), then
    // listens on address (dispatcher_port 0 = any free port); false with
    // the reason in error.
    bool start(const std::string& address, std::uint16_t dispatcher_port, std::uint16_t server_port,
               std::string& error);
    // Serves until stop() (from another thread or a signal handler's pipe).
    void run();
    void stop();

    std::uint16_t dispatcher_port() const { return dispatcher_port_; }
    std::uint16_t server_port() const { return server_port_; }
    // Client connections being served now.
    int active_clients() const { return active_.load(); }
    // Of those, the logged-in sessions and the connections not yet logged
    // in.
    int active_sessions() const { return sessions_.load(); }
    int pending_clients() const { return pending_.load(); }

  private:
    enum class Stage { pending, logged_in, dropped };
    struct Client {
        int socket = -1;
        std::string peer; // address:port, for the log
        Stage stage = Stage::pending;
    };

    // What serves a connection; why the server ended it, for the log
    // (empty when the client went).
    using Work = std::string (Server::*)(Channel& channel, std::uint64_t id);
    // Accepts a connection on listener and serves it with work on a thread
    // of its own.
    void accept_on(int listener, Work work);
    // With no descriptor left for it, a waiting connection would keep the
    // listening socket readable and the accept loop spinning: the reserve
    // descriptor is given up to take that connection and close it at once.
    void refuse_without_descriptors(int listener);
    void serve_thread(int socket, std::uint64_t id, const std::string& peer,
                      Channel::Clock::time_point accepted, Work work);
    // Why the channel ended, for the log (empty when the client went).
    std::string end_reason(const Channel& channel) const;
    std::string dispatch(Channel& channel, std::uint64_t id);
    std::string serve_client(Channel& channel, std::uint64_t id);
    // Registers an accepted connection as pending (closing the oldest
    // pending one when there are max_pending already); its number.
    std::uint64_t admit(int socket, const std::string& peer);
    // The login hook of connection id's session.
    bool log_in(std::uint64_t id);
    // Forgets connection id (before its socket is closed).
    void release(std::uint64_t id);

    ServerState state_;
    int dispatcher_socket_ = -1;
    int server_socket_ = -1;
    int wake_[2] = {-1, -1};
    int reserve_fd_ = -1; // kept open for refuse_without_descriptors
    std::uint16_t dispatcher_port_ = 0;
    std::uint16_t server_port_ = 0;
    std::atomic<int> active_{0};
    std::atomic<int> sessions_{0};
    std::atomic<int> pending_{0};
    std::atomic<bool> stopping_{false};
    // Client connections by number, which is their order of arrival, so
    // that stop() can shut them down and the oldest pending one is first.
    std::mutex clients_mutex_;
    std::map<std::uint64_t, Client> clients_;
    std::uint64_t next_client_ = 0;
};

} // namespace kls

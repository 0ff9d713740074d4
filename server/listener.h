// The listening side: the dispatcher port, the server port, and a thread
// per client connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "session.h"

namespace kls {

class Server {
  public:
    explicit Server(ServerConfig config);
    ~Server(); // stops

    // Listens on address (dispatcher_port 0 = any free port); false with the
    // reason in error.
    bool start(const std::string& address, std::uint16_t dispatcher_port, std::uint16_t server_port,
               std::string& error);
    // Serves until stop() (from another thread or a signal handler's pipe).
    void run();
    void stop();

    std::uint16_t dispatcher_port() const { return dispatcher_port_; }
    std::uint16_t server_port() const { return server_port_; }
    // Client connections being served now.
    int active_clients() const { return active_.load(); }
    // Of those, the ones served as sessions.
    int active_sessions() const { return sessions_.load(); }

  private:
    void accept_dispatcher();
    void accept_server();
    void serve_client(int socket);
    // Serves the socket on a thread of its own, counted as active (and as
    // a session when it is one) until work returns.
    template <class Work> void start_thread(int socket, bool session, Work work);
    void dispatch(int socket);
    // Client sockets being served, so that stop() can shut them down.
    void track(int socket);
    void untrack(int socket);

    ServerState state_;
    int dispatcher_socket_ = -1;
    int server_socket_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t dispatcher_port_ = 0;
    std::uint16_t server_port_ = 0;
    std::atomic<int> active_{0};
    std::atomic<int> sessions_{0};
    std::atomic<bool> stopping_{false};
    std::mutex clients_mutex_;
    std::set<int> clients_;
};

} // namespace kls

#include "transport/host_connection.h"

#include <cstring>

#include "frame/format.h"
#include "frame/status.h"
#include "frame/trace.h"
#include "klsrv32.h"
#include "platform/platform.h"
#include "transport/state.h"

namespace kl {

namespace {

using platform::socket_t;

std::uint32_t socket_result() {
    return make_status(KL_CAT_SOCKETS, static_cast<std::uint32_t>(platform::last_socket_error()));
}

// Closes a socket when it goes out of scope, unless it was handed on.
class SocketGuard {
  public:
    explicit SocketGuard(socket_t socket) : socket_(socket) {}
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    ~SocketGuard() {
        if (socket_ != platform::invalid_socket) platform::socket_close(socket_);
    }
    socket_t get() const { return socket_; }
    socket_t release() {
        const socket_t s = socket_;
        socket_ = platform::invalid_socket;
        return s;
    }

  private:
    socket_t socket_ = platform::invalid_socket;
};

std::uint16_t port_in_host_order(const platform::Ipv4Endpoint& endpoint) {
    return platform::net_to_host16(endpoint.port_net);
}

// What asking the dispatcher ended with: its status (0, 18070 for
// standalone mode, or the dispatcher's error number), 18065 after a
// socket failure (with the socket error and the step) or 18050 after a
// short send or receive; the server port and host type of its reply; in
// standalone mode the dispatcher connection, which is the server
// connection from then on.
struct DispatchOutcome {
    int status = 0;
    int socket_error = 0;
    const char* step = "";
    std::uint16_t host_type = 0;
    platform::socket_t standalone = platform::invalid_socket;
};

std::uint16_t be16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// Asks the dispatcher for a server: connect, send the request word, read
// the reply with one receive.  The reply's server port goes into the
// block's server address unchanged.
DispatchOutcome ask_dispatcher(NetworkAccessInstance& block, char (&where)[36]) {
    DispatchOutcome outcome;
    SocketGuard dispatcher(platform::socket_open());
    auto socket_failure = [&](const char* trace_line, const char* step) {
        outcome.socket_error = platform::last_socket_error();
        trace(trace_line);
        outcome.step = step;
        outcome.status = KL_ERR_SOCKET;
        return outcome;
    };
    if (dispatcher.get() == platform::invalid_socket)
        return socket_failure(" Error: opening socket\n", "dispatch socket");

    const platform::Ipv4Endpoint& d = block.dispatcher;
    trace("  Connecting to dispatcher on address(%d) %d.%d.%d.%d, port #%u.\n", d.family,
          d.address[0], d.address[1], d.address[2], d.address[3], port_in_host_order(d));
    const int wait = block.link.wait_seconds;
    platform::socket_set_keepalive(dispatcher.get(), wait);
    if (platform::socket_connect(dispatcher.get(), d, wait) != 0) {
        format_text(where, "%d.%d.%d.%d (%u)", d.address[0], d.address[1], d.address[2],
                    d.address[3], port_in_host_order(d));
        return socket_failure("  Error: connecting to dispatcher.\n", where);
    }

    trace(" Connection established with dispatcher!");
    std::uint8_t request[4];
    put_be32(request, dispatch_request_word);
    const long sent = platform::socket_send(dispatcher.get(), request, 4, false, wait);
    if (sent < 0) return socket_failure(" Error: dispatch send.\n", "dispatch send");
    if (sent < 4) {
        trace(" Error: only sent %ld bytes of %d from connect request.\n", sent, 4);
        outcome.status = KL_ERR_DISPATCH_SHORT;
        return outcome;
    }

    // One receive call: the dispatcher sends its reply in one piece, and a
    // short read is not retried.
    std::uint8_t reply[dispatch_reply_size] = {};
    const long got = platform::socket_recv(dispatcher.get(), reply, sizeof reply, wait);
    if (got < 0) return socket_failure(" Error: dispatch receive.\n", "dispatch recv");
    if (got < static_cast<long>(sizeof reply)) {
        trace(" Error: only received %ld bytes of %d from connect response.\n", got,
              static_cast<int>(sizeof reply));
        outcome.status = KL_ERR_DISPATCH_SHORT;
        return outcome;
    }

    trace(" Received dispatch response for server on port #%d.\n",
          be16(reply + protocol::dispatch_port_at));
    outcome.status = static_cast<std::int32_t>(get_be32(reply));
    if (outcome.status == KL_ERR_STANDALONE) {
        outcome.standalone = dispatcher.release();
    } else if (platform::socket_close(dispatcher.release()) != 0) {
        return socket_failure(" Error: closing the socket.\n", "closesocket");
    }
    std::memcpy(&block.server.port_net, reply + protocol::dispatch_port_at, 2);
    outcome.host_type = be16(reply + protocol::dispatch_host_type_at);
    return outcome;
}

// Reads a dotted IPv4 address: four decimal parts (a missing part is 0),
// each taken modulo 256.  False when all four read as 0.
bool read_ip_address(const char* text, std::uint8_t address[4]) {
    std::int32_t parts[4] = {0, 0, 0, 0};
    const char* p = text;
    for (int i = 0; i < 4 && p != nullptr; ++i) {
        parts[i] = read_decimal(p);
        p = std::strchr(p, '.');
        if (p) ++p;
    }
    if (parts[0] == 0 && parts[1] == 0 && parts[2] == 0 && parts[3] == 0) return false;
    for (int i = 0; i < 4; ++i)
        address[i] = static_cast<std::uint8_t>(parts[i] & 0xFF);
    return true;
}

// The server machine's address: the dispatcher's, and the server's (whose
// port comes later from the dispatcher's reply).
void set_server_machine(NetworkAccessInstance& block, const std::uint8_t address[4]) {
    for (platform::Ipv4Endpoint* e : {&block.dispatcher, &block.server}) {
        e->family = 2;
        std::memcpy(e->address, address, 4);
    }
}

} // namespace

HostResult hostconnect(const DispatcherAddress& address) {
    HostResult result;
    auto finish = [&result](std::uint32_t code, const char* step = "") {
        result.code = code;
        copy_text(result.step, step);
        return result;
    };
    const bool by_name = address.machine == DispatcherAddress::Machine::host_name;
    const bool by_service = address.port == DispatcherAddress::Port::service;
    // Empty values and values holding a blank, comma, quote, '=' or ';'
    // are refused with 18006, as they always were (these connections once
    // took their address as option text); no name, address or port has one.
    for (const char* value : {address.machine_text, address.port_text}) {
        if (value[0] == '\0' || std::strpbrk(value, " ,'\"=;") != nullptr)
            return finish(make_status(KL_CAT_CLIENT, KL_ERR_OPTION_REJECTED), "hostconnect");
    }

    if (!ensure_network_access_table()) return finish(make_status(KL_CAT_KELORA, KL_ERR_NO_MEMORY));
    std::unique_ptr<NetworkAccessInstance> block = new_block<NetworkAccessInstance>();
    if (!block) return finish(make_status(KL_CAT_KELORA, KL_ERR_NO_MEMORY));

    const char* host = by_name ? address.machine_text : "";
    const char* ipaddress = by_name ? "" : address.machine_text;
    const char* service = by_service ? address.port_text : "";
    const char* port = by_service ? "" : address.port_text;
    // The trace keeps the lines of the option keywords this connection
    // once took, the two that are gone as empty.
    trace("Hostconnect options:\n");
    trace("  HOSTCONNECT_OPT_ERRDISP=%s\n  HOSTCONNECT_OPT_PROFILE=%s\n  HOSTCONNECT_OPT_HOST "
          "=%s\n  HOSTCONNECT_OPT_SERVICE =%s\n  HOSTCONNECT_OPT_PORT =%s\n  "
          "HOSTCONNECT_OPT_IPADDR =%s\n",
          "", "", host, service, port, ipaddress);

    // Host and service names are cut to 31 characters, the room they
    // always had, so a longer name still reaches the same machine.
    char host_name[32];
    char service_name[32];
    copy_text(host_name, host);
    copy_text(service_name, service);
    const auto port_number = static_cast<std::uint16_t>(read_decimal(port));
    // The connection keeps the limit for life.
    block->link.wait_seconds = address.wait_seconds;

    if (!by_name) {
        std::uint8_t ip[4];
        if (!read_ip_address(ipaddress, ip)) {
            trace("  Error: Invalid IP Address [%s]\n", ipaddress);
            return finish(make_status(KL_CAT_KELORA, KL_ERR_BAD_IP_ADDRESS), ipaddress);
        }
        set_server_machine(*block, ip);
    }

    if (const int error = platform::socket_startup(); error != 0)
        return finish(make_status(KL_CAT_SOCKETS, static_cast<std::uint32_t>(error)), "WSAStartup");
    SocketGuard server_socket(platform::socket_open());
    if (server_socket.get() == platform::invalid_socket) return finish(socket_result(), "socket");

    if (by_name) {
        block->dispatcher.family = 2;
        trace("  Looking up host %s.\n", host_name);
        std::uint8_t ip[4];
        if (platform::resolve_host(host_name, ip) != 0) return finish(socket_result(), host_name);
        set_server_machine(*block, ip);
    }

    std::uint16_t service_port = 0;
    block->dispatcher.port_net = platform::lookup_service(service_name, &service_port)
                                     ? service_port
                                     : platform::host_to_net16(port_number);

    if (transport_state.connected_flag) {
        NetworkAccessInstance* current = transport_state.na_instances.find(1);
        if (current &&
            std::memcmp(current->dispatcher.address, block->dispatcher.address, 4) == 0 &&
            current->dispatcher.port_net == block->dispatcher.port_net) {
            ++current->use_count;
            return finish(make_status(KL_CAT_CLIENT, KL_ERR_ALREADY_CONNECTED));
        }
        return finish(make_status(KL_CAT_KELORA, KL_ERR_OTHER_SERVER));
    }

    trace("  Looking up server port.\n");
    char where[36];
    DispatchOutcome dispatch = ask_dispatcher(*block, where);
    SocketGuard standalone(dispatch.standalone);
    if (dispatch.status != 0 && dispatch.status != KL_ERR_STANDALONE) {
        trace("  Could not get server port (%ld).\n", dispatch.status);
        if (dispatch.status == KL_ERR_SOCKET)
            return finish(
                make_status(KL_CAT_SOCKETS, static_cast<std::uint32_t>(dispatch.socket_error)),
                dispatch.step);
        return finish(make_status(KL_CAT_KELORA, static_cast<std::uint32_t>(dispatch.status)));
    }

    transport_state.host_type = dispatch.host_type;
    transport_state.byte_order_flag = (dispatch.host_type == 2 || dispatch.host_type == 3) ? 1 : 0;

    if (dispatch.status == KL_ERR_STANDALONE) {
        trace(" Standalone mode. Using the kllisten connection to connect");
        trace(" to the klserver.");
        // The dispatcher connection is the server connection from here on.
        if (platform::socket_close(server_socket.release()) != 0) return finish(socket_result());
        block->link.socket = standalone.release();
    } else {
        const platform::Ipv4Endpoint& s = block->server;
        trace(" Connecting to server on Address(%d) %d.%d.%d.%d, port #%u.\n", s.family,
              s.address[0], s.address[1], s.address[2], s.address[3], port_in_host_order(s));
        platform::socket_set_keepalive(server_socket.get(), block->link.wait_seconds);
        if (platform::socket_connect(server_socket.get(), s, block->link.wait_seconds) != 0) {
            const std::uint32_t failed = socket_result();
            trace(" Error: connecting.\n");
            return finish(failed, "connect");
        }
        trace(" Connection established with server on socket #%d.\n",
              static_cast<std::int32_t>(server_socket.get()));
        block->link.socket = server_socket.release();
    }
    // A request longer than one fragment leaves in several send calls;
    // without this, Nagle's algorithm and delayed acknowledgements could
    // hold each such request back for tens of milliseconds.  A failure only
    // costs speed, so it is not reported; nor is one of keepalive, which
    // only helps to notice a vanished peer sooner.
    platform::socket_set_nodelay(block->link.socket);

    const socket_t socket = block->link.socket;
    const int recorded = record_connection(block);
    if (recorded != 0) {
        if (recorded == KL_ERR_RECORD_BLOCK) trace("  Error: recording network access instance\n");
        platform::socket_close(socket);
        return finish(make_status(KL_CAT_KELORA, static_cast<std::uint32_t>(recorded)));
    }
    return finish(make_status(KL_CAT_KELORA, 0));
}

HostResult hostdisconnect() {
    // The options line stays in the trace, empty: no caller has options.
    trace("\nFunction: hostdisconnect\n  options=%.80s\n", "");
    NetworkAccessInstance* na = transport_state.na_instances.find(1);
    trace("  Disconnecting NA instance # %ld from server on socket #%d.\n", 1,
          static_cast<std::int32_t>(na ? na->link.socket : platform::invalid_socket));
    HostResult result;
    result.code = make_status(KL_CAT_KELORA, 0);
    if (na && na->use_count == 1) {
        transport_state.connected_flag = 0;
        na->stream.close();
        // The connection is finished with even when the close reports a
        // failure, so the instance goes all the same; otherwise every later
        // hostconnect would find a dead instance in the way.
        if (platform::socket_close(na->link.socket) != 0) result.code = socket_result();
        na->link.socket = platform::invalid_socket;
    }
    if (release_network_access_instance(1) != 0)
        result.code = make_status(KL_CAT_KELORA, KL_ERR_RECORD_BLOCK);
    return result;
}

} // namespace kl

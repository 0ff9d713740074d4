#include "transport/host_connection.h"

#include <array>
#include <cstring>
#include <vector>

#include "frame/format.h"
#include "frame/options.h"
#include "frame/status.h"
#include "frame/trace.h"
#include "klsrv32.h"
#include "platform/platform.h"
#include "transport/state.h"

namespace kl {

namespace {

using platform::socket_t;

// hostconnect's keywords, in table order.
enum HostOption : std::size_t {
    opt_errdisp,
    opt_config,
    opt_rwinname,
    opt_ddename,
    opt_logon,
    opt_nodisable,
    opt_profile,
    opt_host,
    opt_service,
    opt_port,
    opt_ipaddress,
    opt_timeout,
    host_option_count
};

std::array<OptionEntry, host_option_count> host_option_table() {
    return {option_entry("ERRDISP", 1), option_entry("CONFIG", 1),    option_entry("RWINNAME", 1),
            option_entry("DDENAME", 1), option_entry("LOGON", 1),     option_entry("NODISABLE", 0),
            option_entry("PROFILE", 1), option_entry("HOST", 1),      option_entry("SERVICE", 1),
            option_entry("PORT", 1),    option_entry("IPADDRESS", 1), option_entry("TIMEOUT", 1)};
}

// Copies the option text up to its cut into copy and parses it; the
// entries' values point into the copy, so it must outlive them.  False
// when the text is rejected or does not fit the copy.
bool parse_copy(const char* options, std::span<char> copy, std::span<OptionEntry> table) {
    if (option_text_length(options) >= copy.size()) return false;
    copy_option_text(copy, options);
    return copy[0] == '\0' || parse_options(copy.data(), table, nullptr) >= 0;
}

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

// The dispatcher socket of transport_state, closed when the exchange
// failed half-way (on success it has been closed, or, in standalone mode,
// handed on as the server connection).
void drop_dispatcher_socket() {
    if (transport_state.dispatcher_socket != platform::invalid_socket) {
        platform::socket_close(transport_state.dispatcher_socket);
        transport_state.dispatcher_socket = platform::invalid_socket;
    }
}

int dispatch_socket_failure(const char* trace_line, const char* context) {
    transport_state.saved_socket_error = platform::last_socket_error();
    trace(trace_line);
    set_context_text(context);
    return KL_ERR_SOCKET;
}

std::uint16_t be16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// Asks the dispatcher for a server: connect, send the request word, read
// the reply with one receive.  Returns the reply's status (0, 18070 for
// standalone mode, or the dispatcher's error number), 18065 after a socket
// failure (the error saved in transport_state) or 18050 after a short send
// or receive.  The reply's server port goes into the block's server
// address unchanged; the host type into host_type.
int dispatcher_exchange(std::uint32_t request_word, NetworkAccessInstance& block,
                        std::uint16_t& host_type) {
    transport_state.dispatcher_socket = platform::socket_open();
    if (transport_state.dispatcher_socket == platform::invalid_socket)
        return dispatch_socket_failure(" Error: opening socket\n", "dispatch socket");

    const platform::Ipv4Endpoint& d = block.dispatcher;
    trace("  Connecting to dispatcher on address(%d) %d.%d.%d.%d, port #%u.\n", d.family,
          d.address[0], d.address[1], d.address[2], d.address[3], port_in_host_order(d));
    const int wait = block.link.wait_seconds;
    platform::socket_set_keepalive(transport_state.dispatcher_socket, wait);
    if (platform::socket_connect(transport_state.dispatcher_socket, d, wait) != 0) {
        char where[36];
        format_text(where, "%d.%d.%d.%d (%u)", d.address[0], d.address[1], d.address[2],
                    d.address[3], port_in_host_order(d));
        return dispatch_socket_failure("  Error: connecting to dispatcher.\n", where);
    }

    trace(" Connection established with dispatcher!");
    std::uint8_t request[4];
    put_be32(request, request_word);
    const long sent =
        platform::socket_send(transport_state.dispatcher_socket, request, 4, false, wait);
    if (sent < 0) return dispatch_socket_failure(" Error: dispatch send.\n", "dispatch send");
    if (sent < 4) {
        trace(" Error: only sent %ld bytes of %d from connect request.\n", sent, 4);
        return KL_ERR_DISPATCH_SHORT;
    }

    // One receive call: the dispatcher sends its reply in one piece, and a
    // short read is not retried.
    std::uint8_t reply[dispatch_reply_size] = {};
    const long got =
        platform::socket_recv(transport_state.dispatcher_socket, reply, sizeof reply, wait);
    if (got < 0) return dispatch_socket_failure(" Error: dispatch receive.\n", "dispatch recv");
    if (got < static_cast<long>(sizeof reply)) {
        trace(" Error: only received %ld bytes of %d from connect response.\n", got,
              static_cast<int>(sizeof reply));
        return KL_ERR_DISPATCH_SHORT;
    }

    trace(" Received dispatch response for server on port #%d.\n",
          be16(reply + protocol::dispatch_port_at));
    const auto status = static_cast<std::int32_t>(get_be32(reply));
    if (status != KL_ERR_STANDALONE) {
        const socket_t s = transport_state.dispatcher_socket;
        transport_state.dispatcher_socket = platform::invalid_socket;
        if (platform::socket_close(s) != 0)
            return dispatch_socket_failure(" Error: closing the socket.\n", "closesocket");
    }
    std::memcpy(&block.server.port_net, reply + protocol::dispatch_port_at, 2);
    host_type = be16(reply + protocol::dispatch_host_type_at);
    return status;
}

// The error display level the ERRDISP option asks for: 0 and 2 as given,
// anything else (and no option) 1.
std::uint16_t display_level(const OptionEntry& errdisp) {
    if (!errdisp.seen) return 1;
    const std::int32_t v = read_decimal(errdisp.value);
    return (v == 0 || v == 2) ? static_cast<std::uint16_t>(v) : 1;
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

void set_context_text(const char* text) {
    copy_text(transport_state.context_text, text);
}

std::uint32_t hostconnect(const char* /*unused*/, const char* options) {
    auto table = host_option_table();
    std::vector<char> copy(option_text_length(options) + 1);
    if (!parse_copy(options, copy, table)) {
        set_context_text("hostconnect");
        return make_status(KL_CAT_CLIENT, KL_ERR_OPTION_REJECTED);
    }
    trace_state.error_display_level = display_level(table[opt_errdisp]);

    // PROFILE switches the trace log on unless it is on already.
    if (table[opt_profile].seen && trace_state.debug_flag == 0) {
        set_log_file(table[opt_profile].value);
        if (!open_log()) return make_status(KL_CAT_CLIENT, KL_ERR_LOG_OPEN);
        write_banner(hostconnect_banner);
        trace_state.debug_flag = 1;
    }

    if (!ensure_network_access_table()) return make_status(KL_CAT_KELORA, KL_ERR_NO_MEMORY);
    std::unique_ptr<NetworkAccessInstance> block = new_block<NetworkAccessInstance>();
    if (!block) return make_status(KL_CAT_KELORA, KL_ERR_NO_MEMORY);

    const OptionEntry& host = table[opt_host];
    const OptionEntry& service = table[opt_service];
    const OptionEntry& port = table[opt_port];
    const OptionEntry& ipaddress = table[opt_ipaddress];
    trace("Hostconnect options:\n");
    trace("  HOSTCONNECT_OPT_ERRDISP=%s\n  HOSTCONNECT_OPT_PROFILE=%s\n  HOSTCONNECT_OPT_HOST "
          "=%s\n  HOSTCONNECT_OPT_SERVICE =%s\n  HOSTCONNECT_OPT_PORT =%s\n  "
          "HOSTCONNECT_OPT_IPADDR =%s\n",
          table[opt_errdisp].value, table[opt_profile].value, host.value, service.value, port.value,
          ipaddress.value);

    if (host.seen && ipaddress.seen) {
        trace("  Error: HostName and IP Address specified.\n");
        return make_status(KL_CAT_KELORA, KL_ERR_BOTH_GIVEN);
    }
    if (service.seen && port.seen) {
        trace("  Error: Service and port specified.\n");
        return make_status(KL_CAT_KELORA, KL_ERR_BOTH_GIVEN);
    }
    if (!(host.seen || ipaddress.seen) || !(service.seen || port.seen)) {
        trace(" Error: host or IP address, service or port not specified.\n");
        return make_status(KL_CAT_KELORA, KL_ERR_ENVIRONMENT_ENTRY);
    }

    char host_name[32];
    char service_name[32];
    copy_text(host_name, host.seen ? host.value : "");
    copy_text(service_name, service.seen ? service.value : "");
    const auto port_number = static_cast<std::uint16_t>(port.seen ? read_decimal(port.value) : 0);
    // The caller has checked the limit; the connection keeps it for life.
    block->link.wait_seconds = table[opt_timeout].seen ? read_decimal(table[opt_timeout].value) : 0;

    if (ipaddress.seen) {
        std::uint8_t address[4];
        if (!read_ip_address(ipaddress.value, address)) {
            trace("  Error: Invalid IP Address [%s]\n", ipaddress.value);
            set_context_text(ipaddress.value);
            return make_status(KL_CAT_KELORA, KL_ERR_BAD_IP_ADDRESS);
        }
        set_server_machine(*block, address);
    }

    if (const int error = platform::socket_startup(); error != 0) {
        set_context_text("WSAStartup");
        return make_status(KL_CAT_SOCKETS, static_cast<std::uint32_t>(error));
    }
    SocketGuard server_socket(platform::socket_open());
    if (server_socket.get() == platform::invalid_socket) {
        set_context_text("socket");
        return socket_result();
    }

    if (host.seen) {
        block->dispatcher.family = 2;
        trace("  Looking up host %s.\n", host_name);
        std::uint8_t address[4];
        if (platform::resolve_host(host_name, address) != 0) {
            set_context_text(host_name);
            return socket_result();
        }
        set_server_machine(*block, address);
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
            return make_status(KL_CAT_CLIENT, KL_ERR_ALREADY_CONNECTED);
        }
        return make_status(KL_CAT_KELORA, KL_ERR_OTHER_SERVER);
    }

    trace("  Looking up server port.\n");
    std::uint16_t host_type = 0;
    const int dispatch = dispatcher_exchange(dispatch_request_word, *block, host_type);
    if (dispatch != 0 && dispatch != KL_ERR_STANDALONE) {
        trace("  Could not get server port (%ld).\n", dispatch);
        drop_dispatcher_socket();
        if (dispatch == KL_ERR_SOCKET)
            return make_status(KL_CAT_SOCKETS,
                               static_cast<std::uint32_t>(transport_state.saved_socket_error));
        return make_status(KL_CAT_KELORA, static_cast<std::uint32_t>(dispatch));
    }

    transport_state.host_type = host_type;
    transport_state.byte_order_flag = (host_type == 2 || host_type == 3) ? 1 : 0;

    if (dispatch == KL_ERR_STANDALONE) {
        trace(" Standalone mode. Using the kllisten connection to connect");
        trace(" to the klserver.");
        // The dispatcher connection is the server connection from here on.
        SocketGuard standalone(transport_state.dispatcher_socket);
        transport_state.dispatcher_socket = platform::invalid_socket;
        if (platform::socket_close(server_socket.release()) != 0) return socket_result();
        block->link.socket = standalone.release();
    } else {
        const platform::Ipv4Endpoint& s = block->server;
        trace(" Connecting to server on Address(%d) %d.%d.%d.%d, port #%u.\n", s.family,
              s.address[0], s.address[1], s.address[2], s.address[3], port_in_host_order(s));
        platform::socket_set_keepalive(server_socket.get(), block->link.wait_seconds);
        if (platform::socket_connect(server_socket.get(), s, block->link.wait_seconds) != 0) {
            const std::uint32_t failed = socket_result();
            trace(" Error: connecting.\n");
            set_context_text("connect");
            return failed;
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
        return make_status(KL_CAT_KELORA, static_cast<std::uint32_t>(recorded));
    }
    return make_status(KL_CAT_KELORA, 0);
}

std::uint32_t hostdisconnect(const char* options) {
    trace("\nFunction: hostdisconnect\n  options=%.80s\n", options);
    std::array<OptionEntry, 2> table = {option_entry("REFLECT", 1), option_entry("LOGOFF", 1)};
    // A copy of fixed size: hostdisconnect allocates nothing, since it
    // undoes failed connects and follows a disconnect the server has
    // carried out, where a failed allocation would leave the connection
    // behind.  Longer options are refused like any other rejected text.
    std::array<char, 256> copy;
    if (!parse_copy(options, copy, table))
        return make_status(KL_CAT_CLIENT, KL_ERR_OPTION_REJECTED);

    NetworkAccessInstance* na = transport_state.na_instances.find(1);
    trace("  Disconnecting NA instance # %ld from server on socket #%d.\n", 1,
          static_cast<std::int32_t>(na ? na->link.socket : platform::invalid_socket));
    std::uint32_t outcome = make_status(KL_CAT_KELORA, 0);
    if (na && na->use_count == 1) {
        transport_state.connected_flag = 0;
        xdrrec_destroy(na->stream);
        // The connection is finished with even when the close reports a
        // failure, so the instance goes all the same; otherwise every later
        // hostconnect would find a dead instance in the way.
        if (platform::socket_close(na->link.socket) != 0) outcome = socket_result();
        na->link.socket = platform::invalid_socket;
    }
    if (release_network_access_instance(1) != 0)
        return make_status(KL_CAT_KELORA, KL_ERR_RECORD_BLOCK);
    return outcome;
}

} // namespace kl

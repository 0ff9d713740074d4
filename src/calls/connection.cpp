// klconnect and kldisconnect: open and close a client instance.
//
// klconnect reads the caller's environment file, which names the node and
// its section of server entries (transport, host name or address, service
// or port), has the transport connect (sharing an existing connection to
// the same dispatcher), and sends the connect request; the server's
// instance identifier is kept under a new client instance number.
//
// Limits the library sets itself: option text of 256 characters or more
// (up to its cut) is refused with 10037 and its length in info; an
// environment file name longer than 255 characters or a Node value longer
// than 31 characters is refused with 18064 and the environment file name,
// since the instance block could not hold them.  A null instance pointer
// is refused with 10036 before anything is read or sent: the new number
// would have nowhere to go and the instance could never be disconnected.

#include <array>
#include <cstring>
#include <memory>

#include "calls/call_support.h"
#include "calls/export.h"
#include "frame/call.h"
#include "frame/format.h"
#include "frame/options.h"
#include "frame/trace.h"
#include "platform/platform.h"
#include "protocol.h"
#include "transport/exchange.h"
#include "transport/host_connection.h"

namespace {

using namespace kl;

using protocol::code_connect;
using protocol::code_disconnect;

constexpr std::size_t work_options_size = 256;
constexpr std::size_t connect_strings_room = protocol::string_area_size; // after the code
constexpr std::size_t entry_size = 256;                                  // profile values read here

constexpr const char* library_version = KLSRV32_VERSION_TEXT;

// klconnect's keywords, in table order.
enum ConnectOption : std::size_t { opt_trace, opt_r, opt_w, opt_e, connect_option_count };

using Entry = std::array<char, entry_size>;

// Switches tracing on from talvern.ini, or else from the TRACE option,
// when it is not on yet; writes the banner and the version line.  False
// after filling 18013 when the log cannot be opened.
bool start_tracing(const OptionEntry& trace_option, klstatus& st) {
    if (trace_state.debug_flag) return true;
    char configured[sizeof trace_state.log_file];
    if (read_config(profile_file, "debug", "trace", configured)) {
        set_log_file(configured);
        trace_state.debug_flag = 1;
    } else {
        set_log_file("");
        if (trace_option.seen) {
            set_log_file(trace_option.value);
            trace_state.debug_flag = 1;
        }
    }
    if (!trace_state.debug_flag) return true;
    if (!open_log()) {
        trace_state.debug_flag = 0;
        set_local_status(st, KL_ERR_LOG_OPEN, 0, trace_state.log_file);
        return false;
    }
    write_banner(connect_banner);
    trace_call("VESK DLL Version:  %7s\n", library_version);
    return true;
}

// What klconnect takes from the environment file.
struct Environment {
    Entry node{};     // Node value as written
    Entry section{};  // "Node <value>"
    Entry filename{}; // server-side file name, at most 254 characters
    Entry dbdirect{}; // empty when absent
    Entry password{}; // at most 31 characters; empty without dbdirect
    Entry transport{};
    Entry hostname{}, ipaddress{}, service{}, port{}, timeout{};
    bool has_hostname = false, has_ipaddress = false, has_service = false, has_port = false;
};

// The node section's values are cut to these lengths before they are used.
constexpr std::size_t hostname_limit = 39;
constexpr std::size_t ipaddress_limit = 19;
constexpr std::size_t service_limit = 39;
constexpr std::size_t port_limit = 9;

// The wait limit of the node section's timeout key: whole seconds.
constexpr long timeout_limit = 86400;

// Reads a node value cut to limit characters.
bool read_node_value(const char* env, const char* section, const char* key, Entry& out,
                     std::size_t limit) {
    return read_config(env, section, key, std::span(out).first(limit + 1));
}

// A timeout value is a whole number of seconds from 1 to 86400, digits
// only (the profile reader has trimmed the blanks around it).  The
// seconds, or 0 when the value is not one.
int read_timeout(const char* text) {
    long seconds = 0;
    if (*text == '\0') return 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return 0;
        seconds = seconds * 10 + (*c - '0');
        if (seconds > timeout_limit) return 0;
    }
    return static_cast<int>(seconds);
}

// The trace line shows the function code as the request holds it, read as
// this library's target (little-endian) reads it.
int stored_code(std::span<const std::uint8_t> request) {
    return static_cast<std::int16_t>(request[0] | (request[1] << 8));
}

// Undoes a connection made for a klconnect that then failed.
void undo_connection() {
    hostdisconnect();
}

// Fills the status from a failed hostconnect by its category, with the
// step that failed as the text.  A category hostconnect never returns
// still fails the call, as a socket failure.
void set_connect_failure(const HostResult& r, klstatus& st) {
    trace_call("  hostconnect status=0x%lx\n", r.code);
    std::int32_t error = KL_ERR_SOCKET;
    std::int32_t info = static_cast<std::int32_t>(r.code & 0xFFFFu);
    transport_failure(r.code, error, info);
    set_local_status(st, error, info, r.step);
}

void connect_body(const char* environment, const char* options, klstatus& st, const char* username,
                  const char* password, kl_long* instance) {
    clear_status(st);
    std::array<OptionEntry, connect_option_count> table = {
        {{"TRACE", true}, {"R", false, 1}, {"W", false, 1}, {"E", false, 1}}};

    std::array<char, work_options_size> work{};
    if (options != nullptr && options[0] != '\0') {
        const std::size_t length = option_text_length(options);
        if (length >= work_options_size)
            return set_local_status(st, KL_ERR_OPTIONS_TOO_LONG, static_cast<std::int32_t>(length),
                                    "options");
        copy_option_text(work, options);
        ParseReport report;
        if (parse_options(work.data(), table, report) < 0) {
            set_local_status(st, report.error, 0, report.text);
            return;
        }
    }
    if (!start_tracing(table[opt_trace], st)) return;

    const char* env = environment ? environment : "";
    trace_call("\nFunction: klconnect\n  environment=%.80s\n  options=%.80s\n  username "
               "(ignored)=%.30s\n  password (ignored)=%.30s\n",
               env, options, username, password);
    // The output pointer is needed to hand out the number; without it the
    // instance could never be disconnected.
    if (instance == nullptr) return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "instance");
    if (std::strlen(env) >= sizeof ClientInstance::environment)
        return set_local_status(st, KL_ERR_ENVIRONMENT_ENTRY, 0, env);

    Environment e;
    Entry scratch{};
    if (!read_config(env, "environment", "name", scratch)) {
        trace_call("  Error: not an VESK Kelora Environment [%s]\n", env);
        return set_local_status(st, KL_ERR_NOT_ENVIRONMENT, 0, env);
    }
    if (!read_config(env, "include", "Node", e.node) ||
        std::strlen(e.node.data()) >= sizeof ClientInstance::node)
        return set_local_status(st, KL_ERR_ENVIRONMENT_ENTRY, 0, env);
    format_text(e.section, "Node %s", e.node.data());
    if (!read_config(env, "include", "filename", std::span(e.filename).first(255))) {
        trace_call(" Error: FileName= entry not found in %s\n", env);
        return set_local_status(st, KL_ERR_ENVIRONMENT_ENTRY, 0, env);
    }
    std::array<char, entry_size + 16> host_options{};
    if (read_config(env, "include", "dbdirect", e.dbdirect)) {
        format_text(host_options, "DBDIRECT=%s", e.dbdirect.data());
        if (!read_config(env, "include", "password", std::span(e.password).first(32)))
            e.password[0] = '\0';
    }
    if (!read_config(env, e.section.data(), "transport", e.transport)) {
        trace_call("  Error: Transport= entry not found in %s\n", env);
        return set_local_status(st, KL_ERR_ENVIRONMENT_ENTRY, 0, "transport");
    }

    if (!client_tables.ready) {
        if (const int r = create_client_tables(); r != 0)
            return set_local_status(st, KL_ERR_NO_TABLES, r, "init instance");
    }
    std::unique_ptr<ClientInstance> block = new_block<ClientInstance>();
    if (!block)
        return set_local_status(st, KL_ERR_NO_MEMORY, platform::system_error(), "GptInstanceNew");
    copy_text(block->environment, env);
    copy_text(block->node, e.node.data());
    for (char* c = block->node; *c != '\0'; ++c)
        *c = upper_char(*c);

    const char* transport = e.transport.data();
    if (equal_ignoring_case(transport, "wrqppl")) {
        trace_call(" Error: Unknown transport in %s\n", env);
        return set_local_status(st, KL_ERR_TRANSPORT_WRQPPL, 0, transport);
    }
    if (!equal_ignoring_case(transport, "tcpsockets")) {
        trace_call("  Error: Transport=%s invalid in %s\n", transport, env);
        return set_local_status(st, KL_ERR_ENVIRONMENT_ENTRY, 0, "transport");
    }

    const char* section = e.section.data();
    e.has_hostname = read_node_value(env, section, "hostname", e.hostname, hostname_limit);
    e.has_ipaddress = read_node_value(env, section, "ipaddress", e.ipaddress, ipaddress_limit);
    if (e.has_hostname && e.has_ipaddress) {
        trace_call("  Error: HostName and IP Address specified [%s]\n", e.ipaddress.data());
        return set_local_status(st, KL_ERR_BOTH_GIVEN, 0, "host name & IP address");
    }
    e.has_service = read_node_value(env, section, "service", e.service, service_limit);
    e.has_port = read_node_value(env, section, "port", e.port, port_limit);
    if (e.has_service && e.has_port) {
        trace_call("  Error: Service and port specified [%s]\n", e.port.data());
        return set_local_status(st, KL_ERR_BOTH_GIVEN, 0, "server name & port");
    }
    if (!(e.has_hostname || e.has_ipaddress) || !(e.has_service || e.has_port)) {
        trace_call(" Error: host name, IP address, service, or port not specified in %s\n", env);
        return set_local_status(st, KL_ERR_ENVIRONMENT_ENTRY, 0, env);
    }

    DispatcherAddress address;
    if (read_config(env, section, "timeout", e.timeout)) {
        address.wait_seconds = read_timeout(e.timeout.data());
        if (address.wait_seconds == 0) {
            trace_call("  Error: Timeout=%s invalid in %s\n", e.timeout.data(), env);
            return set_local_status(st, KL_ERR_ENVIRONMENT_ENTRY, 0, env);
        }
    }
    using Machine = DispatcherAddress::Machine;
    using Port = DispatcherAddress::Port;
    address.machine = e.has_hostname ? Machine::host_name : Machine::ip_address;
    address.machine_text = e.has_hostname ? e.hostname.data() : e.ipaddress.data();
    address.port = e.has_service ? Port::service : Port::number;
    address.port_text = e.has_service ? e.service.data() : e.port.data();
    const HostResult r = hostconnect(address);
    if (r.code != 0 && (r.code & 0xFFFFu) != KL_ERR_ALREADY_CONNECTED)
        return set_connect_failure(r, st);
    // A shared connection keeps the limit of the klconnect that opened it.
    if (const NetworkAccessInstance* na = transport_state.na_instances.find(1);
        na != nullptr && na->link.wait_seconds > 0)
        trace_call("  wait limit=%d seconds\n", na->link.wait_seconds);

    // From here on every failure gives the connection back.
    block->na_instance = 1;
    block->connection = live_connection();
    for (std::size_t i : {opt_r, opt_w, opt_e}) {
        if (!table[i].seen) continue;
        const std::size_t used = std::strlen(host_options.data());
        format_text(std::span(host_options).subspan(used), used ? ",%s" : "%s", table[i].name);
    }

    std::array<std::uint8_t, 2 + connect_strings_room> request{};
    RequestBuilder builder(request);
    builder.code(code_connect)
        .string(e.filename.data())
        .string(username)
        .string(e.password.data())
        .string(host_options.data());
    if (!builder.fits()) {
        undo_connection();
        return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
    }
    trace_call("  intrinsic #=%d\n  buffer length=%d\n  host options=%.80s\n  "
               "Environment=%.30s\n",
               stored_code(builder.request()), static_cast<int>(builder.size()),
               host_options.data(), e.filename.data());

    std::array<std::uint8_t, status_size + 4> answer{};
    if (!exchange_request(builder.request(), answer, st)) return undo_connection();
    if (st.error != 0) {
        trace_call(" Error: returned from server\n");
        return undo_connection();
    }
    std::memcpy(block->server_instance.bytes, answer.data() + status_size, 4);
    const ServerId server_instance = block->server_instance;
    std::int32_t number = 0;
    if (client_tables.instances.add(block, number) != 0) {
        trace_call(" Error: recording instance\n");
        undo_connection();
        return set_local_status(st, KL_ERR_RECORD_BLOCK, 0, "record instance");
    }
    *instance = number;
    trace_call("  instance server=%ld, client=%ld\n", server_id_number(server_instance), number);
}

} // namespace

KL_EXPORT uint32_t KLAPI klconnect(const char* environment, const char* options, klstatus* status,
                                   const char* username, const char* password, kl_long* instance) {
    return run_call(status, [&](klstatus& st) {
        connect_body(environment, options, st, username, password, instance);
    });
}

KL_EXPORT uint32_t KLAPI kldisconnect(kl_long instance, const char* options, klstatus* status) {
    return run_call(status, [&](klstatus& st) {
        if (free_stale_instance(instance, st)) return;
        if (!require_connection(st)) return;
        trace_call("\nFunction: kldisconnect\n  instance=%ld\n  options=%.80s\n", instance,
                   options);
        clear_status(st);
        ClientInstance* inst = find_instance(instance, st);
        if (inst == nullptr) return;

        std::array<std::uint8_t, status_size> answer{};
        if (!exchange_id_request(code_disconnect, inst->server_instance, options, answer, st))
            return;

        // The connection goes whatever error the server reported.
        // A failure keeps the instance (and, for a category hostdisconnect
        // never returns, the server's status).
        const HostResult r = hostdisconnect();
        if (r.code != 0) {
            std::int32_t error = 0;
            std::int32_t info = 0;
            if (transport_failure(r.code, error, info)) {
                const bool own = (r.code >> 24) == KL_CAT_KELORA;
                set_local_status(st, error, info, own ? "hostdisconnect" : r.step);
            }
            return;
        }
        if (const int removed = client_tables.instances.remove(instance); removed != 0)
            trace_call("  Error %ld:  removing instance %ld", removed, instance);
        clear_status(st);
    });
}

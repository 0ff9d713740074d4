// The host connection: the library's one connection to a server, reached
// through the dispatcher on the server machine.
//
// hostconnect opens a short connection to the dispatcher, sends it the
// 4-byte connect request and reads the 52-byte reply, which names the port
// of a server process and the server's host type (and with it the byte
// order of the integers in requests and answers).  It then connects to that
// port on the same machine, or, in standalone mode, keeps the dispatcher
// connection as the server connection, and records the connection as
// network access instance 1.  A further hostconnect to the same dispatcher
// address and port only counts another user of it; hostdisconnect counts
// one user off and closes the connection with the last.
//
// Both return a result code composed by make_status: category 0 with 0 on
// success or a library error number, category 1 with 18004 (the same
// server is connected already; counted as a success by klconnect) or
// 18006, category 3 with a Windows Sockets error number; and, where a
// failure names a step, the step.
//
// Sockets opened by a hostconnect that fails are closed before it returns,
// and a failed hostconnect leaves nothing recorded and the library not
// marked connected.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol.h"

namespace kl {

// The dispatcher's connect request word (00 00 29 81: a protocol constant,
// not the library's version) and the size of its reply.
inline constexpr std::uint32_t dispatch_request_word = protocol::dispatch_connect_word;
using protocol::dispatch_reply_size;

// Where the dispatcher listens, as the node section of the environment
// file names it: the server machine by host name or dotted address, the
// dispatcher's port by service name or number, and the limit of each wait.
// klconnect has checked that one of each pair is given, and the limit.
struct DispatcherAddress {
    enum class Machine { host_name, ip_address };
    enum class Port { service, number };
    Machine machine = Machine::ip_address;
    const char* machine_text = ""; // the host name or the dotted address
    Port port = Port::number;
    const char* port_text = ""; // the service name or the decimal number
    int wait_seconds = 0;       // 1 to 86400; 0 waits as long as the system lets it
};

// The result code, and the step that failed (empty when the failure
// names none).
struct HostResult {
    std::uint32_t code = 0;
    char step[36] = {};
};

HostResult hostconnect(const DispatcherAddress& address);

// Allocates nothing: it undoes failed connects and follows a disconnect
// the server has carried out, where a failed allocation would leave the
// connection behind.
HostResult hostdisconnect();

} // namespace kl

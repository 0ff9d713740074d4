// Process-wide state of the transport: the one connection to the server.
#pragma once

#include <cstdint>
#include <memory>

#include "frame/shared.h"
#include "frame/tables.h"
#include "platform/platform.h"
#include "transport/record_stream.h"

namespace kl {

// The library's record of its connection to a server.  Only instance 1
// exists at a time; further connections to the same dispatcher address and
// port only raise its use count.
struct NetworkAccessInstance {
    std::uint16_t use_count = 0;
    platform::Ipv4Endpoint dispatcher;
    platform::Ipv4Endpoint server;
    // The server connection (invalid_socket once closed; not 0: on POSIX
    // descriptor 0 is a valid socket when the application closed stdin) and
    // the wait limit of the klconnect that opened it, which every instance
    // sharing the connection keeps.  The record stream reads both here.
    SocketLink link;
    RecordStream stream; // on the socket
    // Which connection this is: every connection made gets the next
    // number, so a block opened on a connection that has since gone can
    // tell it apart from a new one (see live_connection).
    std::uint32_t serial = 0;
};

// The connected flag and the host type are also read by calls that run
// outside the one-call guard (klerror, apiinfo), so they are shared words.
struct TransportState {
    SharedWord connected_flag = 0;     // a server connection exists
    std::uint16_t byte_order_flag = 0; // integers travel big-endian
    SharedWord host_type = 0;          // from the dispatcher's reply
    std::int32_t na_table_ready = 0;
    std::uint32_t last_serial = 0; // serial of the latest connection made
    ControlTable<NetworkAccessInstance> na_instances;
};
extern TransportState& transport_state;

// The stream of network access instance 1; null when not connected.
RecordStream* connection_stream();

// Creates the network access instance table unless it exists.  False when
// it cannot be allocated.
bool ensure_network_access_table();

// Records a connection as network access instance 1: puts the record
// stream on the block's socket link, records the block with a use count
// of 1 and sets the connected flag.  0 on success; 10021 when the stream
// cannot get its buffers or the table cannot be made; 18061 when the block
// cannot be recorded.  On failure nothing stays recorded, the connected
// flag stays clear, and the block (with its socket) is left to the caller.
int record_connection(std::unique_ptr<NetworkAccessInstance>& block);

// The serial of the connection in use; 0 when there is none.  Instance and
// cursor blocks keep the serial they were opened on: a block whose serial
// is not this one belongs to a connection that is gone.
std::uint32_t live_connection();

// Closes the connection and marks it down after a failure that leaves its
// stream out of step (a timeout, a reset, a short send, broken framing, a
// malformed answer): a late answer would otherwise be read as the answer
// to the next request.  Every block opened on it is stale from here on,
// and the next hostconnect makes a new connection.  Keeps the socket error
// of the moment.  Does nothing when there is no connection.
void drop_connection();

// Counts one user off a network access instance: lowers its use count, or
// frees the block when the count is 1.  0, or 11008 when the number is not
// valid.
int release_network_access_instance(std::int32_t number);

} // namespace kl

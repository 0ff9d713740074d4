#include "transport/state.h"

#include <new>

namespace kl {

// Made once and never destroyed, like the client tables: the connection's
// record outlives every exit handler that might still make a call.
alignas(TransportState) static unsigned char transport_state_storage[sizeof(TransportState)];
TransportState& transport_state = *new (transport_state_storage) TransportState;

XdrHandle* connection_stream() {
    if (!transport_state.connected_flag) return nullptr;
    NetworkAccessInstance* na = transport_state.na_instances.find(1);
    return (na && na->stream.stream) ? &na->stream : nullptr;
}

} // namespace kl

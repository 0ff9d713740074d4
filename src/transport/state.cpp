#include "transport/state.h"

namespace kl {

TransportState transport_state;

XdrHandle* connection_stream() {
    if (!transport_state.connected_flag) return nullptr;
    NetworkAccessInstance* na = transport_state.na_instances.find(1);
    return (na && na->stream.stream) ? &na->stream : nullptr;
}

} // namespace kl

#include "transport/state.h"

#include <new>

#include "klsrv32.h"

namespace kl {

// Made once and never destroyed, like the client tables: the connection's
// record outlives every exit handler that might still make a call.
alignas(TransportState) static unsigned char transport_state_storage[sizeof(TransportState)];
TransportState& transport_state = *new (transport_state_storage) TransportState;

RecordStream* connection_stream() {
    if (!transport_state.connected_flag) return nullptr;
    NetworkAccessInstance* na = transport_state.na_instances.find(1);
    return (na && na->stream.is_open()) ? &na->stream : nullptr;
}

bool ensure_network_access_table() {
    if (!transport_state.na_table_ready) {
        if (transport_state.na_instances.create() != 0) return false;
        transport_state.na_table_ready = 1;
    }
    return true;
}

int record_connection(std::unique_ptr<NetworkAccessInstance>& block) {
    if (!ensure_network_access_table()) return KL_ERR_NO_MEMORY;
    // There is only ever instance 1; with its slot free, the lowest-free
    // rule hands out number 1.
    if (transport_state.na_instances.valid(1)) return KL_ERR_RECORD_BLOCK;
    if (!block->stream.open(socket_io(block->link))) return KL_ERR_NO_MEMORY;
    block->use_count = 1;
    block->serial = ++transport_state.last_serial;
    std::int32_t number = 0;
    if (transport_state.na_instances.add(block, number) != 0) {
        block->stream.close();
        return KL_ERR_RECORD_BLOCK;
    }
    transport_state.connected_flag = 1;
    return 0;
}

std::uint32_t live_connection() {
    if (!transport_state.connected_flag) return 0;
    const NetworkAccessInstance* na = transport_state.na_instances.find(1);
    return na ? na->serial : 0;
}

void drop_connection() {
    NetworkAccessInstance* na = transport_state.na_instances.find(1);
    transport_state.connected_flag = 0;
    if (na == nullptr) return;
    const int error = platform::last_socket_error();
    na->stream.close();
    if (na->link.socket != platform::invalid_socket) platform::socket_close(na->link.socket);
    na->link.socket = platform::invalid_socket;
    transport_state.na_instances.remove(1);
    platform::set_last_socket_error(error);
}

int release_network_access_instance(std::int32_t number) {
    NetworkAccessInstance* na = transport_state.na_instances.find(number);
    if (na == nullptr) return KL_ERR_BAD_INSTANCE;
    if (na->use_count != 1) {
        --na->use_count;
        return 0;
    }
    return transport_state.na_instances.remove(number);
}

} // namespace kl

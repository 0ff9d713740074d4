#include "calls/call_support.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "calls/errors.h"
#include "frame/call.h"
#include "frame/status.h"
#include "frame/trace.h"
#include "platform/platform.h"
#include "transport/exchange.h"
#include "transport/state.h"

namespace kl {

void reset_process_state() {
    if (NetworkAccessInstance* na = transport_state.na_instances.find(1)) {
        if (na->link.socket != platform::invalid_socket) platform::socket_close(na->link.socket);
    }
    transport_state = {};
    client_tables.instances.reset();
    client_tables.cursors.reset();
    client_tables.ready = 0;
    trace_state = {};
    message_file_state = {};
    owner_word = 0;
    platform::set_short_receive_every(0);
    platform::set_allocation_failures_after(-1);
}

bool require_connection(klstatus& status) {
    if (transport_state.connected_flag) return true;
    set_local_status(status, KL_ERR_NOT_CONNECTED);
    return false;
}

namespace {

// A block found by its number is usable only on the connection it was
// opened on; one whose connection is gone fails with 18011.
template <class Block>
Block* find_live(ControlTable<Block>& table, std::int32_t number, klstatus& status,
                 std::int32_t missing_error, const char* text) {
    Block* block = table.find(number);
    if (block == nullptr) {
        set_local_status(status, missing_error, number, text);
    } else if (block->connection != live_connection()) {
        set_local_status(status, KL_ERR_NOT_CONNECTED);
        block = nullptr;
    }
    return block;
}

template <class Block>
bool free_stale(ControlTable<Block>& table, std::int32_t number, klstatus& status) {
    const Block* block = table.find(number);
    if (block == nullptr || block->connection == live_connection()) return false;
    table.remove(number);
    set_local_status(status, KL_ERR_NOT_CONNECTED);
    return true;
}

} // namespace

kl_cursor_t* find_cursor(std::int32_t number, klstatus& status, const char* text) {
    return find_live(client_tables.cursors, number, status, KL_ERR_BAD_CURSOR, text);
}

ClientInstance* find_instance(std::int32_t number, klstatus& status, const char* text) {
    return find_live(client_tables.instances, number, status, KL_ERR_BAD_INSTANCE, text);
}

bool free_stale_instance(std::int32_t number, klstatus& status) {
    return free_stale(client_tables.instances, number, status);
}

bool free_stale_cursor(std::int32_t number, klstatus& status) {
    return free_stale(client_tables.cursors, number, status);
}

std::optional<Received> exchange_id_request(std::uint16_t code, const ServerId& id,
                                            const char* options, std::span<std::uint8_t> answer,
                                            klstatus& status) {
    std::array<std::uint8_t, 2 + 4 + options_field_size> request;
    RequestBuilder builder(request);
    builder.code(code).id(id).options_field(options);
    return exchange_request(builder.request(), answer, status);
}

void clear_status(klstatus& status) {
    status.error = 0;
    status.warn = 0;
    status.info = 0;
    std::memset(status.buffer, 0, sizeof status.buffer);
}

bool transport_failure(std::uint32_t result, std::int32_t& error, std::int32_t& info) {
    const auto low = static_cast<std::int32_t>(result & 0xFFFFu);
    switch (result >> 24) {
    case KL_CAT_KELORA:
        error = static_cast<std::int32_t>(result);
        info = 0;
        return true;
    case KL_CAT_CLIENT:
    case KL_CAT_HOST:
        error = KL_ERR_TRANSPORT;
        info = low;
        return true;
    case KL_CAT_PPL:
        error = KL_ERR_PPL;
        info = static_cast<std::int32_t>(result - 0x2000000u);
        return true;
    case KL_CAT_SOCKETS:
        error = KL_ERR_SOCKET;
        info = low;
        return true;
    default:
        return false;
    }
}

TracedBytes traced_bytes(const void* data, std::int64_t length) {
    TracedBytes shown{};
    if (data != nullptr && length > 0) {
        // Byte by byte, so that nothing after the first NUL is read: an
        // area shorter than length still ends at its text's terminator.
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(length, 80));
        const auto* bytes = static_cast<const char*>(data);
        for (std::size_t i = 0; i < n && bytes[i] != '\0'; ++i)
            shown.text[i] = bytes[i];
    }
    return shown;
}

std::int32_t server_id_number(const ServerId& id) {
    const std::uint32_t v = std::uint32_t{id.bytes[0]} | (std::uint32_t{id.bytes[1]} << 8) |
                            (std::uint32_t{id.bytes[2]} << 16) | (std::uint32_t{id.bytes[3]} << 24);
    return static_cast<std::int32_t>(v);
}

} // namespace kl

// A connection for the fuzzers whose input is what a server sends: the
// input's bytes arrive in chunks of any size (the first byte of what is
// left decides each chunk), or as much as each receive asks for, and
// every send succeeds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "calls/call_support.h"
#include "frame/tables.h"
#include "transport/record_stream.h"
#include "transport/state.h"

namespace kl::fuzz {

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    // Without chunk bytes, each receive gets all it asks for while the
    // input lasts.
    bool in_chunks = true;
};

inline long no_send(void*, const std::uint8_t*, std::size_t length, bool) {
    return static_cast<long>(length);
}

inline long receive(void* context, std::uint8_t* out, std::size_t length) {
    auto* in = static_cast<Input*>(context);
    if (in->at >= in->size) return 0;
    const std::size_t chunk = in->in_chunks ? 1 + in->data[in->at++] % 128 : length;
    const std::size_t n = std::min({chunk, length, in->size - in->at});
    std::copy(in->data + in->at, in->data + in->at + n, out);
    in->at += n;
    return static_cast<long>(n);
}

// Resets the process and records a connection as network access instance
// 1, as a connect does, with the byte order flag given and its stream on
// the input instead of a socket.  False when it cannot.
inline bool record_input_connection(Input& input, std::uint16_t byte_order_flag) {
    reset_process_state();
    transport_state.byte_order_flag = byte_order_flag;
    auto block = new_block<NetworkAccessInstance>();
    if (!block || record_connection(block) != 0) return false;
    NetworkAccessInstance* na = transport_state.na_instances.find(1);
    return na != nullptr && na->stream.open(StreamIo{no_send, receive, &input});
}

} // namespace kl::fuzz

#include "transport/record_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace kl {

// The stream's buffers and positions.  Output and input share one
// allocation: the output buffer first, then the input buffer.
struct RecordStreamState {
    StreamIo io;
    std::unique_ptr<std::uint8_t[]> buffer;  // send size + receive size + 4 bytes
    std::uint8_t* out_base = nullptr;        // first 4-aligned byte: start of output
    std::uint8_t* out_next = nullptr;        // where the next output byte goes
    std::uint8_t* out_limit = nullptr;       // out_base + send size
    std::uint8_t* fragment_header = nullptr; // header of the fragment being built
    bool fragment_sent = false;              // a fragment of this record has left
    std::uint32_t in_size = 0;               // receive size
    std::uint8_t* in_base = nullptr;         // out_base + send size: start of input
    std::uint8_t* in_next = nullptr;         // next unread input byte
    std::uint8_t* in_limit = nullptr;        // end of the bytes received so far
    // Bytes of the input fragment not consumed.  Unsigned: a header may carry
    // any value in bits 16..31, and a length must never turn negative.
    std::uint32_t fragment_remaining = 0;
    bool last_fragment = true; // the input fragment ends its record
    std::uint32_t send_size = 0;
    std::uint32_t receive_size = 0;
};

XdrHandle::XdrHandle() = default;
XdrHandle::~XdrHandle() = default;
XdrHandle::XdrHandle(XdrHandle&&) noexcept = default;
XdrHandle& XdrHandle::operator=(XdrHandle&&) noexcept = default;

void put_be32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t get_be32(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]};
}

namespace {

long socket_send_io(void* context, const std::uint8_t* data, std::size_t length, bool more) {
    const auto* link = static_cast<const SocketLink*>(context);
    return platform::socket_send(link->socket, data, length, more, link->wait_seconds);
}

long socket_receive_io(void* context, std::uint8_t* data, std::size_t length) {
    const auto* link = static_cast<const SocketLink*>(context);
    const long n = platform::socket_recv(link->socket, data, length, link->wait_seconds);
    // The peer closed the connection in the middle of an answer: report it
    // as the reset a caller can look up.
    if (n == 0) platform::set_last_socket_error(platform::wsa_econnreset);
    return n;
}

// Sends the buffered fragment, header included, with one send call.  A
// fragment that does not end its record is marked as having more to
// follow, so a record of several fragments can leave the machine together
// instead of waking the server once per fragment.
bool flush_out(RecordStreamState& s, bool end_of_record) {
    auto word = static_cast<std::uint32_t>(s.out_next - s.fragment_header - 4);
    if (end_of_record) word |= last_fragment_flag;
    put_be32(s.fragment_header, word);
    const auto length = static_cast<std::size_t>(s.out_next - s.out_base);
    if (s.io.send(s.io.context, s.out_base, length, !end_of_record) != static_cast<long>(length))
        return false;
    s.fragment_header = s.out_base;
    s.out_next = s.out_base + 4;
    return true;
}

// Receives once into the input buffer.  A closed connection (0 bytes) fails
// like a socket error: waiting for more would never end.
bool fill_input(RecordStreamState& s) {
    const auto k = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(s.in_limit) % 4);
    std::uint8_t* at = s.in_base + k;
    const long n = s.io.receive(s.io.context, at, s.in_size - k);
    if (n <= 0) return false;
    s.in_next = at;
    s.in_limit = at + n;
    return true;
}

// Takes n bytes from the input, without regard to fragments; a null target
// discards them.
bool get_input_bytes(RecordStreamState& s, std::uint8_t* target, std::size_t n) {
    while (n > 0) {
        if (s.in_next == s.in_limit) {
            if (!fill_input(s)) return false;
            continue;
        }
        const auto m = std::min(n, static_cast<std::size_t>(s.in_limit - s.in_next));
        if (target) {
            std::memcpy(target, s.in_next, m);
            target += m;
        }
        s.in_next += m;
        n -= m;
    }
    return true;
}

bool read_fragment_header(RecordStreamState& s) {
    std::uint8_t header[4];
    if (!get_input_bytes(s, header, 4)) return false;
    const std::uint32_t word = get_be32(header);
    s.last_fragment = (word & last_fragment_flag) != 0;
    s.fragment_remaining = word & ~last_fragment_flag;
    return true;
}

// Takes n bytes of the current record, following its fragments; fails when
// the record ends first.  A null target discards them.
bool get_record_bytes(RecordStreamState& s, std::uint8_t* target, std::uint32_t n) {
    while (n > 0) {
        if (s.fragment_remaining == 0) {
            if (s.last_fragment) return false;
            if (!read_fragment_header(s)) return false;
            continue;
        }
        const std::uint32_t m = std::min(n, s.fragment_remaining);
        if (!get_input_bytes(s, target, m)) return false;
        s.fragment_remaining -= m;
        if (target) target += m;
        n -= m;
    }
    return true;
}

bool put_out_bytes(RecordStreamState& s, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const auto m = std::min(n, static_cast<std::size_t>(s.out_limit - s.out_next));
        if (data) {
            std::memcpy(s.out_next, data, m);
            data += m;
        } else {
            std::memset(s.out_next, 0, m);
        }
        s.out_next += m;
        n -= m;
        if (s.out_next == s.out_limit) {
            s.fragment_sent = true;
            if (!flush_out(s, false)) return false;
        }
    }
    return true;
}

} // namespace

StreamIo socket_io(const SocketLink& link) {
    StreamIo io;
    io.send = socket_send_io;
    io.receive = socket_receive_io;
    io.context = const_cast<SocketLink*>(&link);
    return io;
}

std::uint32_t adjust_buffer_size(std::uint32_t requested) {
    if (requested < 100) requested = 4000;
    return (requested + 3) & ~3u;
}

bool xdrrec_create(XdrHandle& handle, std::uint32_t send_size, std::uint32_t receive_size,
                   StreamIo io) {
    handle.stream.reset();
    std::unique_ptr<RecordStreamState> s(
        platform::allocation_permitted() ? new (std::nothrow) RecordStreamState{} : nullptr);
    if (!s) {
        platform::write_stderr("xdrrec_create: out of memory\n");
        return false;
    }
    s->send_size = adjust_buffer_size(send_size);
    s->receive_size = adjust_buffer_size(receive_size);
    if (platform::allocation_permitted())
        s->buffer.reset(new (std::nothrow) std::uint8_t[s->send_size + s->receive_size + 4]);
    if (!s->buffer) {
        platform::write_stderr("xdrrec_create: out of memory\n");
        return false;
    }
    std::uint8_t* raw = s->buffer.get();
    const auto misalign = reinterpret_cast<std::uintptr_t>(raw) % 4;
    s->out_base = raw + (misalign ? 4 - misalign : 0);
    s->in_base = s->out_base + s->send_size;
    s->io = io;
    s->fragment_header = s->out_base;
    s->out_next = s->out_base + 4;
    s->out_limit = s->out_base + s->send_size;
    s->fragment_sent = false;
    s->in_size = s->receive_size;
    s->in_next = s->in_limit = s->in_base + s->receive_size;
    s->fragment_remaining = 0;
    s->last_fragment = true;
    handle.stream = std::move(s);
    return true;
}

void xdrrec_destroy(XdrHandle& handle) {
    handle.stream.reset();
}

bool xdrrec_putlong(XdrHandle& handle, std::int32_t value) {
    RecordStreamState* s = handle.stream.get();
    if (!s) return false;
    if (s->out_next + 4 > s->out_limit) {
        s->fragment_sent = true;
        if (!flush_out(*s, false)) return false;
    }
    put_be32(s->out_next, static_cast<std::uint32_t>(value));
    s->out_next += 4;
    return true;
}

bool xdrrec_getlong(XdrHandle& handle, std::int32_t* value) {
    RecordStreamState* s = handle.stream.get();
    if (!s) return false;
    std::uint8_t bytes[4];
    if (s->fragment_remaining >= 4 && s->in_limit - s->in_next >= 4) {
        std::memcpy(bytes, s->in_next, 4);
        s->in_next += 4;
        s->fragment_remaining -= 4;
    } else if (!get_record_bytes(*s, bytes, 4)) {
        return false;
    }
    *value = static_cast<std::int32_t>(get_be32(bytes));
    return true;
}

bool xdrrec_putbytes(XdrHandle& handle, const std::uint8_t* data, std::int32_t length) {
    RecordStreamState* s = handle.stream.get();
    if (!s || length < 0) return false;
    return put_out_bytes(*s, data, static_cast<std::size_t>(length));
}

bool xdrrec_getbytes(XdrHandle& handle, std::uint8_t* data, std::int32_t length) {
    RecordStreamState* s = handle.stream.get();
    if (!s || length < 0) return false;
    return get_record_bytes(*s, data, static_cast<std::uint32_t>(length));
}

bool xdrrec_skipbytes(XdrHandle& handle, std::uint32_t length) {
    RecordStreamState* s = handle.stream.get();
    return s && get_record_bytes(*s, nullptr, length);
}

bool xdrrec_endofrecord(XdrHandle& handle, bool send_now) {
    RecordStreamState* s = handle.stream.get();
    if (!s) return false;
    if (send_now || s->fragment_sent || s->out_next + 4 >= s->out_limit) {
        s->fragment_sent = false;
        return flush_out(*s, true);
    }
    // Close the fragment in place and start the next one behind it; the
    // bytes leave with a later flush.
    put_be32(s->fragment_header,
             static_cast<std::uint32_t>(s->out_next - s->fragment_header - 4) | last_fragment_flag);
    s->fragment_header = s->out_next;
    s->out_next += 4;
    return true;
}

bool xdrrec_skiprecord(XdrHandle& handle) {
    RecordStreamState* s = handle.stream.get();
    if (!s) return false;
    while (s->fragment_remaining > 0 || !s->last_fragment) {
        if (!get_input_bytes(*s, nullptr, s->fragment_remaining)) return false;
        s->fragment_remaining = 0;
        if (!s->last_fragment && !read_fragment_header(*s)) return false;
    }
    s->last_fragment = false;
    return true;
}

bool xdr_long(XdrHandle& handle, std::int32_t* value) {
    switch (handle.op) {
    case XdrOp::encode:
        return xdrrec_putlong(handle, *value);
    case XdrOp::decode:
        return xdrrec_getlong(handle, value);
    case XdrOp::free:
        return true;
    }
    return false;
}

bool xdr_opaque(XdrHandle& handle, std::uint8_t* data, std::uint32_t count) {
    if (count == 0) return true;
    static constexpr std::uint8_t zeros[4] = {0, 0, 0, 0};
    const std::uint32_t pad = (4 - count % 4) % 4;
    RecordStreamState* s = handle.stream.get();
    if (!s && handle.op != XdrOp::free) return false;
    switch (handle.op) {
    case XdrOp::decode:
        if (!get_record_bytes(*s, data, count)) return false;
        return pad == 0 || get_record_bytes(*s, nullptr, pad);
    case XdrOp::encode:
        if (!put_out_bytes(*s, data, count)) return false;
        return pad == 0 || put_out_bytes(*s, zeros, pad);
    case XdrOp::free:
        return true;
    }
    return false;
}

} // namespace kl

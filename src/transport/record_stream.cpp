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
    std::unique_ptr<std::uint8_t[]> buffer;  // both buffers + 4 bytes for alignment
    std::uint8_t* out_base = nullptr;        // first 4-aligned byte: start of output
    std::uint8_t* out_next = nullptr;        // where the next output byte goes
    std::uint8_t* out_limit = nullptr;       // out_base + buffer size
    std::uint8_t* fragment_header = nullptr; // header of the fragment being built
    std::uint8_t* in_base = nullptr;         // out_limit: start of input
    std::uint8_t* in_next = nullptr;         // next unread input byte
    std::uint8_t* in_limit = nullptr;        // end of the bytes received so far
    // Bytes of the input fragment not consumed.  Unsigned: a header may carry
    // any value in bits 16..31, and a length must never turn negative.
    std::uint32_t fragment_remaining = 0;
    bool last_fragment = true; // the input fragment ends its record
};

RecordStream::RecordStream() = default;
RecordStream::~RecordStream() = default;
RecordStream::RecordStream(RecordStream&&) noexcept = default;
RecordStream& RecordStream::operator=(RecordStream&&) noexcept = default;

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
    const long n = s.io.receive(s.io.context, at, stream_buffer_size - k);
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

// Discards what is left of the record being read, so the next read starts
// at the header of a new record.  Reads nothing on a fresh stream.
bool skip_rest_of_record(RecordStreamState& s) {
    while (s.fragment_remaining > 0 || !s.last_fragment) {
        if (!get_input_bytes(s, nullptr, s.fragment_remaining)) return false;
        s.fragment_remaining = 0;
        if (!s.last_fragment && !read_fragment_header(s)) return false;
    }
    s.last_fragment = false;
    return true;
}

bool put_out_bytes(RecordStreamState& s, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const auto m = std::min(n, static_cast<std::size_t>(s.out_limit - s.out_next));
        std::memcpy(s.out_next, data, m);
        data += m;
        s.out_next += m;
        n -= m;
        if (s.out_next == s.out_limit && !flush_out(s, false)) return false;
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

bool RecordStream::open(StreamIo io) {
    state_.reset();
    std::unique_ptr<RecordStreamState> s(
        platform::allocation_permitted() ? new (std::nothrow) RecordStreamState{} : nullptr);
    if (s && platform::allocation_permitted())
        s->buffer.reset(new (std::nothrow) std::uint8_t[2 * stream_buffer_size + 4]);
    if (!s || !s->buffer) {
        platform::write_stderr("xdrrec_create: out of memory\n");
        return false;
    }
    std::uint8_t* raw = s->buffer.get();
    const auto misalign = reinterpret_cast<std::uintptr_t>(raw) % 4;
    s->out_base = raw + (misalign ? 4 - misalign : 0);
    s->io = io;
    s->fragment_header = s->out_base;
    s->out_next = s->out_base + 4;
    s->out_limit = s->out_base + stream_buffer_size;
    s->in_base = s->out_limit;
    s->in_next = s->in_limit = s->in_base + stream_buffer_size;
    state_ = std::move(s);
    return true;
}

void RecordStream::close() {
    state_.reset();
}

bool RecordStream::write_record(std::span<const std::uint8_t> bytes) {
    if (!state_) return false;
    RecordStreamState& s = *state_;
    static constexpr std::uint8_t zeros[4] = {0, 0, 0, 0};
    std::uint8_t length[4];
    put_be32(length, static_cast<std::uint32_t>(bytes.size()));
    const std::size_t pad = (4 - bytes.size() % 4) % 4;
    return put_out_bytes(s, length, 4) && put_out_bytes(s, bytes.data(), bytes.size()) &&
           put_out_bytes(s, zeros, pad) && flush_out(s, true);
}

std::optional<Received> RecordStream::read_record(std::span<std::uint8_t> area) {
    if (!state_) return std::nullopt;
    RecordStreamState& s = *state_;
    // A broken connection shows in the reads that follow.
    skip_rest_of_record(s);
    std::uint8_t word[4];
    if (!get_record_bytes(s, word, 4)) return std::nullopt;
    const std::uint32_t length = get_be32(word) & 0xFFFFu;
    const auto kept = static_cast<std::uint32_t>(std::min<std::size_t>(area.size(), length));
    const std::uint32_t padded = (length + 3u) & ~3u;
    if (!get_record_bytes(s, area.data(), kept) || !get_record_bytes(s, nullptr, padded - kept))
        return std::nullopt;
    return Received{kept, length - kept};
}

} // namespace kl

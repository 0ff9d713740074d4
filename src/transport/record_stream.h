// The record stream: records on a TCP connection, cut into fragments.
//
// A record is a 4-byte big-endian length word, that many bytes and zero
// padding to a multiple of 4.  On the connection it travels in fragments,
// each opening with a 4-byte big-endian header word: bit 15 (0x00008000)
// marks the last fragment of a record, every other bit is the fragment's
// data length.  This is the record marking of ONC RPC with the flag moved
// from bit 31 to bit 15, so a stock implementation of that scheme cannot
// take this one's place.
//
// The server frames its records with code of its own (server/wire.cpp),
// not with this stream: kept apart on purpose, so that neither side can
// carry a framing mistake of the other into the tests unnoticed.
//
// The stream buffers one fragment (1024 bytes with its header) for output
// and one chunk of input.  It knows nothing of sockets: it moves bytes
// through an Io pair (one send call, one receive call), so it can be
// driven with bytes alone in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "protocol.h"

namespace kl {

// The two I/O calls the stream needs.  send returns the count sent or -1
// (more: the record goes on in a further send); receive returns the count
// received, 0 when the peer has closed, or -1.
struct StreamIo {
    long (*send)(void* context, const std::uint8_t* data, std::size_t length, bool more) = nullptr;
    long (*receive)(void* context, std::uint8_t* data, std::size_t length) = nullptr;
    void* context = nullptr;
};

// A platform socket and the limit of each wait for it to take or deliver
// bytes (seconds; 0 waits as long as the system does).
struct SocketLink {
    std::intptr_t socket = -1;
    int wait_seconds = 0;
};

// StreamIo on a socket link, which is the context and must outlive the
// stream.
StreamIo socket_io(const SocketLink& link);

using protocol::last_fragment_flag;
inline constexpr std::size_t stream_buffer_size = 1024;

// The framing's integers (and the dispatcher's) are always big-endian,
// whatever the server's byte order.
void put_be32(std::uint8_t* at, std::uint32_t value);
std::uint32_t get_be32(const std::uint8_t* at);

// What reading a record did with it: the bytes stored in the caller's
// area, and the bytes of the record that did not fit and were read and
// discarded, so the stream stays in step.
struct Received {
    std::size_t kept = 0;
    std::size_t dropped = 0;
};

struct RecordStreamState;

class RecordStream {
  public:
    RecordStream();
    ~RecordStream();
    RecordStream(RecordStream&&) noexcept;
    RecordStream& operator=(RecordStream&&) noexcept;

    // Gets the buffers.  False (after writing "xdrrec_create: out of
    // memory\n" to standard error, the text this stream has always
    // written) when they cannot be had; the stream then stays closed.
    bool open(StreamIo io);
    void close();
    bool is_open() const { return state_ != nullptr; }

    // Writes one record and sends its last fragment at once.  False when a
    // send fails or the stream is closed.
    bool write_record(std::span<const std::uint8_t> bytes);

    // Reads the next record (whatever is left of the previous one is
    // skipped first): only the low 16 bits of its length word count; at
    // most area.size() bytes are stored, the rest and the padding are read
    // and discarded.  Nothing when the connection fails, the stream is
    // closed or the record ends before its length word says.
    std::optional<Received> read_record(std::span<std::uint8_t> area);

  private:
    std::unique_ptr<RecordStreamState> state_;
};

} // namespace kl

// The record stream: records on a TCP connection, cut into fragments.
//
// Each fragment opens with a 4-byte big-endian header word: bit 15
// (0x00008000) marks the last fragment of a record, every other bit is the
// fragment's data length.  This is the record marking of ONC RPC with the
// flag moved from bit 31 to bit 15, so a stock implementation of that
// scheme cannot take this one's place.
//
// The server frames its records with code of its own (server/wire.cpp),
// not with this stream: kept apart on purpose, so that neither side can
// carry a framing mistake of the other into the tests unnoticed.
//
// The stream buffers one fragment for output and one chunk of input.  It
// knows nothing of sockets: it moves bytes through an Io pair (one send
// call, one receive call), so it can be driven with bytes alone in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Integers of the framing (and of the dispatcher exchange) are always
// big-endian, whatever the server's byte order.
void put_be32(std::uint8_t* at, std::uint32_t value);
std::uint32_t get_be32(const std::uint8_t* at);
inline constexpr std::uint32_t stream_buffer_size = 1024;

// Direction of the next filter call.
enum class XdrOp : std::uint32_t { encode = 0, decode = 1, free = 2 };

struct RecordStreamState;

// The handle the filters work on; it owns the stream state.
struct XdrHandle {
    XdrOp op = XdrOp::encode;
    std::unique_ptr<RecordStreamState> stream;
    XdrHandle();
    ~XdrHandle();
    XdrHandle(XdrHandle&&) noexcept;
    XdrHandle& operator=(XdrHandle&&) noexcept;
};

// A requested buffer size below 100 becomes 4000; the result is rounded up
// to a multiple of 4.
std::uint32_t adjust_buffer_size(std::uint32_t requested);

// Creates the stream.  Unlike a stream that only complains, it reports
// whether it could get its buffers: false (after writing
// "xdrrec_create: out of memory\n" to standard error) leaves the handle
// without a stream, and no filter call succeeds on it.
bool xdrrec_create(XdrHandle& handle, std::uint32_t send_size, std::uint32_t receive_size,
                   StreamIo io);
void xdrrec_destroy(XdrHandle& handle);

bool xdrrec_putlong(XdrHandle& handle, std::int32_t value);
bool xdrrec_getlong(XdrHandle& handle, std::int32_t* value);
bool xdrrec_putbytes(XdrHandle& handle, const std::uint8_t* data, std::int32_t length);
bool xdrrec_getbytes(XdrHandle& handle, std::uint8_t* data, std::int32_t length);

// Ends the record being written; with send_now the last fragment leaves at
// once (the library always sends at once).
bool xdrrec_endofrecord(XdrHandle& handle, bool send_now);

// Discards what is left of the record being read, so the next read starts
// at the header of a new record.  Reads nothing on a fresh stream.
bool xdrrec_skiprecord(XdrHandle& handle);

// Discards length bytes of the record being read (record aware, like
// getbytes without the copy).
bool xdrrec_skipbytes(XdrHandle& handle, std::uint32_t length);

// Filters: a 32-bit integer (big-endian on the wire) and a counted run of
// opaque bytes padded with zeros to a multiple of 4.
bool xdr_long(XdrHandle& handle, std::int32_t* value);
bool xdr_opaque(XdrHandle& handle, std::uint8_t* data, std::uint32_t count);

} // namespace kl

// The server's side of the wire: records framed in fragments on a socket,
// bounds-checked reading of request fields, and answer building with the
// 92-byte status record in the server's byte order.
//
// The framing here is the server's own, written apart from the library's
// record stream (src/transport/record_stream.cpp) on purpose: the two are
// checked against each other, so neither may borrow the other's code.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol.h"

namespace kls {

using Bytes = std::vector<std::uint8_t>;

using protocol::status_size;
// The largest record a client may send; anything larger ends the
// connection (a client of the library never sends more than 2048 bytes).
constexpr std::size_t record_limit = 1 << 20;

// One client connection: a socket that carries records.  Owns the socket.
//
// Every wait has a limit where one is set.  A record, once its first byte
// arrived, must arrive whole within the record timeout, and an answer must
// be taken whole by the client within the same time; a trickle of bytes
// does not stretch it.  The deadline, when set, bounds every wait of the
// connection (the login deadline of a connection not yet logged in).
class Channel {
  public:
    using Clock = std::chrono::steady_clock;
    using Time = std::optional<Clock::time_point>; // nullopt: no limit

    // Why the channel is finished.
    enum class End { open, closed, broken, record_timeout, answer_timeout, deadline };

    explicit Channel(int socket);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void set_record_timeout(std::chrono::milliseconds timeout) { record_timeout_ = timeout; }
    void set_deadline(Time deadline) { deadline_ = deadline; }

    // The payload of the next request record (after its length word,
    // padding dropped).  Its first byte is waited for until first_byte_by
    // and the deadline.  nullopt when the peer closed the connection, broke
    // the framing or a limit passed, after which the channel is finished;
    // or when first_byte_by passed first, which leaves the channel open.
    std::optional<Bytes> read_record(Time first_byte_by);
    // A further record of the request being served: it must arrive whole
    // within the record timeout.  nullopt: the channel is finished.
    std::optional<Bytes> read_record();
    // Frames payload as one record and sends it.  False when the send
    // failed; the channel is then finished.
    bool write_record(std::span<const std::uint8_t> payload);
    // Sends bytes as they stand (the dispatcher's unframed reply).
    bool write_raw(std::span<const std::uint8_t> bytes);
    // Reads exactly n unframed bytes (the dispatcher's connect request),
    // within the deadline and, once begun, the record timeout.
    std::optional<Bytes> read_raw(std::size_t n);

    bool finished() const { return end_ != End::open; }
    End end() const { return end_; }

  private:
    // Waits for the first byte of a record until first_byte_by and the
    // deadline, then starts the record's clock.  False when the channel
    // finished, or first_byte_by passed (the channel stays open).
    bool begin_record(Time first_byte_by);
    bool read_exact(std::uint8_t* to, std::size_t n);
    std::optional<Bytes> read_framed();
    // Moves n bytes with move(done), a receive or send that does not wait
    // and returns what it moved, waiting for events between tries until
    // `until`.  False when that passed (the channel then ends with expiry)
    // or the peer went.
    template <class Move>
    bool transfer(std::size_t n, short events, Clock::time_point until, End expiry, Move move);
    // Waits until the socket is ready for events or until passes; false
    // when it passed.
    bool await(short events, Time until) const;
    // The earlier of now + the record timeout and the deadline, and the
    // end a wait that reaches it means.
    std::pair<Clock::time_point, End> limit_from_now(End timeout) const;
    bool finish(End end);

    int socket_;
    End end_ = End::open;
    std::chrono::milliseconds record_timeout_{std::chrono::seconds(30)};
    Time deadline_;
    // The limit of the record being read, and what reaching it means.
    Clock::time_point record_until_{};
    End record_expiry_ = End::record_timeout;
};

// Appends head and body, one payload, to out framed as one record, so that
// several records can go out with one write_raw.
void append_record(Bytes& out, std::span<const std::uint8_t> head,
                   std::span<const std::uint8_t> body = {});

// Reads the fields of a request in order.  A read past the end makes the
// reader fail (sticky); the caller checks ok() once at the end.
class Reader {
  public:
    Reader(std::span<const std::uint8_t> data, bool big_endian) : data_(data), big_(big_endian) {}

    std::uint16_t u16();
    std::int32_t i32();
    std::uint32_t id(); // a server identifier: 4 opaque bytes
    // A NUL-terminated text; fails when no NUL comes before the end.
    std::string string();
    // A fixed field of n bytes holding text up to its first NUL (or all n).
    std::string text_field(std::size_t n);
    std::span<const std::uint8_t> bytes(std::size_t n);
    std::span<const std::uint8_t> rest();
    void skip_to(std::size_t offset);

    std::size_t position() const { return position_; }
    std::size_t remaining() const { return failed_ ? 0 : data_.size() - position_; }
    bool ok() const { return !failed_; }

  private:
    bool take(std::size_t n);
    std::span<const std::uint8_t> data_;
    bool big_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

// The status record an answer opens with.
struct Status {
    std::int32_t error = 0;
    std::int32_t warn = 0;
    std::int32_t info = 0;
    std::int32_t count = 0;
    std::int32_t bufflen = 0;
    std::int32_t instance = 0;
    std::int32_t cursor = 0;
    std::int32_t valuesize = 0;
    std::string text; // context text, at most 35 characters are sent
};

Status error_status(std::int32_t number, std::string_view text = {}, std::int32_t info = 0);

// Builds an answer payload in the server's byte order.
class Writer {
  public:
    explicit Writer(bool big_endian) : big_(big_endian) {}
    Writer& status(const Status& s);
    Writer& u16(std::uint16_t v);
    Writer& i32(std::int32_t v);
    Writer& i64(std::int64_t v);
    Writer& f64(double v);
    Writer& id(std::uint32_t v);
    Writer& bytes(std::span<const std::uint8_t> b);
    Writer& text(std::string_view t);
    // t cut or padded with pad to exactly n bytes.
    Writer& text_field(std::string_view t, std::size_t n, char pad);
    Writer& zeros(std::size_t n);
    const Bytes& data() const { return data_; }
    Bytes& data() { return data_; }

  private:
    Bytes data_;
    bool big_;
};

// v limited to the range of a 32-bit field.
std::int32_t clamp_i32(std::int64_t v);

// Integers in a byte order, for record fields.
void put_i32(std::uint8_t* at, std::int32_t v, bool big_endian);
void put_i64(std::uint8_t* at, std::int64_t v, bool big_endian);
std::int32_t get_i32(const std::uint8_t* at, bool big_endian);
std::int64_t get_i64(const std::uint8_t* at, bool big_endian);

} // namespace kls

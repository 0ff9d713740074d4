// The request exchange: one request record out, answer records in, and the
// byte-order rule for the integers inside them.
//
// Every request travels as one record of the record stream: a 4-byte
// big-endian length word, the request bytes, zero padding to a multiple of
// 4.  Answers come back in the same form.  Integers inside requests and
// answers are in the server's byte order: big-endian when the byte-order
// flag is set (host types 2 and 3), little-endian otherwise.  Server
// identifiers are opaque and never converted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "frame/status.h"
#include "frame/tables.h"
#include "klsrv32.h"
#include "transport/state.h"

namespace kl {

// Every failure of the functions below closes the connection and marks it
// down (drop_connection) before the status is filled.

// Sends one request record on the connection.  0, or 18065 after filling
// the status (error 18065, info = the socket error, empty buffer).
int send_request(std::span<const std::uint8_t> request, klstatus& status);

// Receives the next answer record into buffer.
//
// What is left of the previous record is discarded first, so an answer a
// call read only in part does not disturb the next call.  At most
// buffer.size() bytes are stored: the rest of a longer record is read and
// discarded so the connection stays in step, the call goes on with what
// fits (data lengths derived from what was kept never pass the buffer),
// and a trace line records the cut.  When fewer bytes than a status record
// arrive, the rest of the status area reads as zeros.  Nothing, after the
// failure fill, when the connection fails or the record ends before its
// length word says.
std::optional<Received> receive_response(std::span<std::uint8_t> buffer, klstatus& status);

// The bytes that followed the status in an answer record (0 when it held
// no more than a status).
inline std::size_t data_length(const Received& received) {
    return received.kept > status_size ? received.kept - status_size : 0;
}

// Fills all 92 bytes of the caller's status from the start of an answer,
// converting the fourteen words when the server's order is big-endian, and
// writes the status trace line.
void copy_status(std::span<const std::uint8_t> response, klstatus& status);

// Receives one answer record into response and copies its status into
// the caller's.  Nothing (status filled with 18065) when the transfer
// fails.
std::optional<Received> receive_answer(std::span<std::uint8_t> response, klstatus& status);

// The exchange of most calls: sends the request, receives one answer
// record into response and copies its status into the caller's.  Nothing
// (status filled with 18065) when either transfer fails.
std::optional<Received> exchange_request(std::span<const std::uint8_t> request,
                                         std::span<std::uint8_t> response, klstatus& status);

// The failure fill of a broken exchange: error 18065, warn 0, info = the
// socket error of the moment, empty buffer.
void set_socket_failure(klstatus& status);

// The end of an exchange that cannot go on: a transfer that failed
// half-way leaves the stream out of step, so the connection is closed and
// marked down (drop_connection), then the status gets the failure fill.
// Returns 18065.
int exchange_failed(klstatus& status);

// The same for an answer a call found malformed after it arrived (the
// rest of it is not read): info 0, as for a record that ends early.
int malformed_answer(klstatus& status);

// Byte-order rule for integers inside requests and answers: the server's
// order, big-endian for host types 2 and 3, little-endian otherwise.
bool server_big_endian();
void store_u16(std::uint8_t* at, std::uint16_t value);
void store_i32(std::uint8_t* at, std::int32_t value);
std::int32_t load_i32(const std::uint8_t* at);
// Turns the 32-bit number at `at` from this machine's order into the
// server's, or back (the same reversal both ways, made only when the
// server is big-endian: the library runs on little-endian machines).
void convert_i32(std::uint8_t* at);

// Builds a request in a fixed buffer: the function code, server identifier
// and the call's fields, each put at the next offset.  Every put checks the
// room left; once one fails the request stays failed (fits() is false) and
// nothing more is written.
class RequestBuilder {
  public:
    explicit RequestBuilder(std::span<std::uint8_t> buffer);

    RequestBuilder& code(std::uint16_t function_code);
    RequestBuilder& id(const ServerId& id);
    RequestBuilder& i32(std::int32_t value);
    RequestBuilder& u16(std::uint16_t value);
    // A fixed options field filled by copy option text.
    RequestBuilder& options_field(const char* options, std::size_t room = options_field_size);
    // A NUL-terminated string (null counts as empty), packed.
    RequestBuilder& string(const char* text);
    RequestBuilder& bytes(std::span<const std::uint8_t> data);
    RequestBuilder& zeros(std::size_t count);
    // Zeros up to offset, where the next fixed field starts; fails when
    // the request already reaches past it.
    RequestBuilder& pad_to(std::size_t offset);

    bool fits() const { return fits_; }
    std::size_t size() const { return used_; }
    std::span<const std::uint8_t> request() const { return buffer_.first(used_); }
    std::uint8_t* data() { return buffer_.data(); }

  private:
    std::uint8_t* reserve(std::size_t count);
    std::span<std::uint8_t> buffer_;
    std::size_t used_ = 0;
    bool fits_ = true;
};

} // namespace kl

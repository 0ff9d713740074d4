#include "transport/exchange.h"

#include <algorithm>
#include <cstring>

#include "frame/format.h"
#include "frame/status.h"
#include "frame/trace.h"

namespace kl {

void set_socket_failure(klstatus& status) {
    set_local_status(status, KL_ERR_SOCKET, platform::last_socket_error());
}

namespace {

// The stream of the connection, with the socket error cleared so that a
// failure never reports an earlier call's error (an answer whose record
// ends before its length word says fails with info 0); without a
// connection the error is "not connected".
XdrHandle* exchange_stream(XdrOp op) {
    XdrHandle* stream = connection_stream();
    platform::set_last_socket_error(stream ? 0 : platform::wsa_enotconn);
    if (stream) stream->op = op;
    return stream;
}

} // namespace

int exchange_failed(klstatus& status) {
    drop_connection();
    set_socket_failure(status);
    return KL_ERR_SOCKET;
}

int malformed_answer(klstatus& status) {
    platform::set_last_socket_error(0);
    return exchange_failed(status);
}

int send_request(std::span<const std::uint8_t> request, klstatus& status) {
    XdrHandle* stream = exchange_stream(XdrOp::encode);
    auto length = static_cast<std::int32_t>(request.size());
    const bool sent = stream && xdr_long(*stream, &length) &&
                      xdr_opaque(*stream, const_cast<std::uint8_t*>(request.data()),
                                 static_cast<std::uint32_t>(request.size())) &&
                      xdrrec_endofrecord(*stream, true);
    return sent ? 0 : exchange_failed(status);
}

int receive_response(std::span<std::uint8_t> buffer, klstatus& status) {
    XdrHandle* stream = exchange_stream(XdrOp::decode);
    if (stream == nullptr) return exchange_failed(status);
    // Whatever is left of the previous answer is dropped; a broken
    // connection shows in the reads that follow.
    xdrrec_skiprecord(*stream);

    std::int32_t length_word = 0;
    if (!xdr_long(*stream, &length_word)) return exchange_failed(status);
    const std::uint32_t length = static_cast<std::uint32_t>(length_word) & 0xFFFFu;
    const std::uint32_t kept =
        std::min<std::uint32_t>(length, static_cast<std::uint32_t>(buffer.size()));
    const std::uint32_t padded = (length + 3u) & ~3u;
    if (!xdrrec_getbytes(*stream, buffer.data(), static_cast<std::int32_t>(kept)) ||
        !xdrrec_skipbytes(*stream, padded - kept))
        return exchange_failed(status);

    transport_state.received_length = kept;
    transport_state.discarded_length = length - kept;
    if (kept < length) {
        trace("  Response of %ld bytes cut to its buffer of %ld bytes.\n", length, kept);
    }
    // An answer shorter than a status record reads as zeros past its end,
    // never as what an earlier answer left in the buffer.
    if (kept < status_size) {
        std::fill(buffer.begin() + kept,
                  buffer.begin() + std::min<std::size_t>(status_size, buffer.size()), 0);
    }
    return 0;
}

void copy_status(std::span<const std::uint8_t> response, klstatus& status) {
    // Callers pass buffers of at least a status record; a shorter one is
    // read as far as it goes and the rest of the status reads as zeros.
    std::uint8_t record[status_size] = {};
    std::memcpy(record, response.data(), std::min(response.size(), status_size));

    kl_long* words[14] = {&status.error,     &status.warn,       &status.info,
                          &status.count,     &status.bufflen,    &status.instance,
                          &status.cursor,    &status.reserved7,  &status.reserved8,
                          &status.reserved9, &status.reserved10, &status.reserved11,
                          &status.valuesize, &status.reserved13};
    for (std::size_t i = 0; i < 14; ++i)
        *words[i] = load_i32(record + 4 * i);
    std::memcpy(status.buffer, record + 56, sizeof status.buffer);

    if (tracing_any()) {
        // The status text need not end in a NUL; show at most its 36 bytes.
        char text[37];
        std::memcpy(text, status.buffer, 36);
        text[36] = '\0';
        trace("KL status (returned)\n  error=%ld\n  warn=%ld\n  info=%ld\n  count=%ld\n  "
              "bufflen=%ld\n  instance=%ld\n  cursor=%ld\n  buffer=%.37s\n",
              status.error, status.warn, status.info, status.count, status.bufflen, status.instance,
              status.cursor, text);
    }
}

int receive_answer(std::span<std::uint8_t> response, klstatus& status) {
    if (const int failed = receive_response(response, status)) return failed;
    copy_status(response, status);
    return 0;
}

int exchange_request(std::span<const std::uint8_t> request, std::span<std::uint8_t> response,
                     klstatus& status) {
    if (const int failed = send_request(request, status)) return failed;
    return receive_answer(response, status);
}

// ---- byte-order rule --------------------------------------------------------

void store_u16(std::uint8_t* at, std::uint16_t value) {
    if (transport_state.byte_order_flag) {
        at[0] = static_cast<std::uint8_t>(value >> 8);
        at[1] = static_cast<std::uint8_t>(value);
    } else {
        at[0] = static_cast<std::uint8_t>(value);
        at[1] = static_cast<std::uint8_t>(value >> 8);
    }
}

void store_i32(std::uint8_t* at, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        const int shift = transport_state.byte_order_flag ? 24 - 8 * i : 8 * i;
        at[i] = static_cast<std::uint8_t>(v >> shift);
    }
}

std::int32_t load_i32(const std::uint8_t* at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        const int shift = transport_state.byte_order_flag ? 24 - 8 * i : 8 * i;
        v |= std::uint32_t{at[i]} << shift;
    }
    return static_cast<std::int32_t>(v);
}

// ---- request builder --------------------------------------------------------

RequestBuilder::RequestBuilder(std::span<std::uint8_t> buffer) : buffer_(buffer) {}

std::uint8_t* RequestBuilder::reserve(std::size_t count) {
    if (!fits_ || count > buffer_.size() - used_) {
        fits_ = false;
        return nullptr;
    }
    std::uint8_t* at = buffer_.data() + used_;
    used_ += count;
    return at;
}

RequestBuilder& RequestBuilder::code(std::uint16_t function_code) {
    return u16(function_code);
}

RequestBuilder& RequestBuilder::u16(std::uint16_t value) {
    if (std::uint8_t* at = reserve(2)) store_u16(at, value);
    return *this;
}

RequestBuilder& RequestBuilder::id(const ServerId& id) {
    if (std::uint8_t* at = reserve(4)) std::memcpy(at, id.bytes, 4);
    return *this;
}

RequestBuilder& RequestBuilder::i32(std::int32_t value) {
    if (std::uint8_t* at = reserve(4)) store_i32(at, value);
    return *this;
}

RequestBuilder& RequestBuilder::options_field(const char* options, std::size_t room) {
    if (std::uint8_t* at = reserve(room))
        copy_option_text(std::span(reinterpret_cast<char*>(at), room), options);
    return *this;
}

RequestBuilder& RequestBuilder::string(const char* text) {
    const std::size_t n = text_length(text);
    if (std::uint8_t* at = reserve(n + 1)) {
        if (n > 0) std::memcpy(at, text, n);
        at[n] = 0;
    }
    return *this;
}

RequestBuilder& RequestBuilder::bytes(std::span<const std::uint8_t> data) {
    if (std::uint8_t* at = reserve(data.size()); at && !data.empty())
        std::memcpy(at, data.data(), data.size());
    return *this;
}

RequestBuilder& RequestBuilder::zeros(std::size_t count) {
    if (std::uint8_t* at = reserve(count); at && count > 0) std::memset(at, 0, count);
    return *this;
}

RequestBuilder& RequestBuilder::pad_to(std::size_t offset) {
    if (offset < used_) {
        fits_ = false;
        return *this;
    }
    return zeros(offset - used_);
}

} // namespace kl

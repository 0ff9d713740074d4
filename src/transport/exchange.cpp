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
RecordStream* exchange_stream() {
    RecordStream* stream = connection_stream();
    platform::set_last_socket_error(stream ? 0 : platform::wsa_enotconn);
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
    RecordStream* stream = exchange_stream();
    return stream && stream->write_record(request) ? 0 : exchange_failed(status);
}

std::optional<Received> receive_response(std::span<std::uint8_t> buffer, klstatus& status) {
    RecordStream* stream = exchange_stream();
    const std::optional<Received> received =
        stream ? stream->read_record(buffer) : std::optional<Received>();
    if (!received) {
        exchange_failed(status);
        return std::nullopt;
    }
    const std::size_t kept = received->kept;
    if (received->dropped > 0) {
        trace("  Response of %ld bytes cut to its buffer of %ld bytes.\n", kept + received->dropped,
              kept);
    }
    // An answer shorter than a status record reads as zeros past its end,
    // never as what an earlier answer left in the buffer.
    if (kept < status_size) {
        std::fill(
            buffer.begin() + static_cast<std::ptrdiff_t>(kept),
            buffer.begin() + static_cast<std::ptrdiff_t>(std::min(status_size, buffer.size())), 0);
    }
    return received;
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

std::optional<Received> receive_answer(std::span<std::uint8_t> response, klstatus& status) {
    const std::optional<Received> received = receive_response(response, status);
    if (received) copy_status(response, status);
    return received;
}

std::optional<Received> exchange_request(std::span<const std::uint8_t> request,
                                         std::span<std::uint8_t> response, klstatus& status) {
    if (send_request(request, status) != 0) return std::nullopt;
    return receive_answer(response, status);
}

// ---- byte-order rule --------------------------------------------------------

bool server_big_endian() {
    return transport_state.byte_order_flag != 0;
}

void convert_i32(std::uint8_t* at) {
    if (server_big_endian()) std::reverse(at, at + 4);
}

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

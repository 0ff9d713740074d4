// Column descriptions and values of a cursor: describe, bind and assign
// values.  All three open with the fixed-header request.
//
// A column description is a 220-byte record the library carries between
// caller and server without reading it, except that its eleven 32-bit
// numbers (at offset 0 and the ten at offsets 172 to 208) follow the
// byte-order rule.  Descriptions travel in chunks of at most 1320 bytes
// (six descriptions), one record each: from the server behind a 92-byte
// header that is not used, to the server behind two zero bytes.

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "calls/call_support.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/trace.h"
#include "protocol.h"
#include "transport/exchange.h"

namespace {

using namespace kl;

using protocol::code_assign_values;
using protocol::code_bind;
using protocol::code_describe;

constexpr std::int64_t description_size = protocol::description_size;
constexpr std::int64_t chunk_size = protocol::description_chunk_size;
using protocol::bind_chunk_lead; // zero bytes before each chunk
using protocol::label_field_size;

// Largest block of values assign values carries: what the request area
// holds behind the fixed header and the label.
constexpr std::int64_t values_room = request_area_size - fixed_header_size - label_field_size;

// Converts the eleven numbers of one description in place, between this
// machine's order and the server's.
void convert_description_numbers(std::uint8_t* description) {
    for (std::size_t at : protocol::description_number_offsets)
        convert_i32(description + at);
}

// Reads the description chunks that follow describe's status: as many
// answer records as the announced count takes, six descriptions to a
// record.  Every announced record is read, whatever the caller's array
// holds, so the connection stays in step for the next call; only the
// first `room` descriptions are placed in the caller's array, and only
// descriptions that arrived whole: a record carrying less than its share
// ends the placing (later records are still read), so the descriptions
// placed are always one unbroken run from the start of the array.
//
// Returns the number of descriptions placed, or -1 when a receive failed
// (status filled; what was placed until then stays).
std::int64_t receive_descriptions(std::int64_t announced, std::int64_t room, char* descriptions,
                                  klstatus& st) {
    std::array<std::uint8_t, answer_area_size> answer;
    const std::int64_t total = announced * description_size;
    const std::int64_t limit = std::min(announced, room) * description_size;
    std::int64_t placed = 0;
    bool placing = true;
    for (std::int64_t position = 0; position < total; position += chunk_size) {
        const std::optional<Received> received = receive_response(answer, st);
        if (!received) return -1;
        if (!placing || position >= limit) continue;
        const auto arrived = static_cast<std::int64_t>(data_length(*received));
        const std::int64_t share = std::min(total - position, chunk_size);
        const std::int64_t take =
            std::clamp<std::int64_t>(std::min(arrived, share), 0, limit - position) /
            description_size * description_size;
        std::memcpy(descriptions + position, answer.data() + status_size,
                    static_cast<std::size_t>(take));
        placed = position + take;
        placing = arrived >= share;
    }
    return placed / description_size;
}

// Sends the caller's descriptions as chunk records behind two zero bytes,
// converting the numbers in the copy (the caller's array is not changed).
// False when a send failed (status filled).
bool send_descriptions(std::int64_t columns, const char* descriptions, klstatus& st) {
    const auto* source = reinterpret_cast<const std::uint8_t*>(descriptions);
    const std::int64_t total = columns * description_size;
    for (std::int64_t position = 0; position < total; position += chunk_size) {
        const auto chunk = static_cast<std::size_t>(std::min(total - position, chunk_size));
        std::array<std::uint8_t, bind_chunk_lead + chunk_size> record;
        RequestBuilder builder(record);
        builder.zeros(bind_chunk_lead).bytes({source + position, chunk});
        for (std::size_t at = 0; at < chunk; at += description_size)
            convert_description_numbers(builder.data() + bind_chunk_lead + at);
        if (send_request(builder.request(), st) != 0) return false;
    }
    return true;
}

// The bytes of values assign values sends: the cursor's value-set size
// times the count, 0 when that is negative or there is no cursor.
std::int64_t value_block_size(const kl_cursor_t* block, std::int64_t num_values) {
    if (block == nullptr) return 0;
    return std::max<std::int64_t>(std::int64_t{block->value_size} * num_values, 0);
}

// The bytes of values the trace line may show: values need not end in a
// NUL, so no more than the call sends, and none of a block the call
// refuses as too large (nothing vouches for that area).
std::int64_t traced_value_size(const kl_cursor_t* block, std::int64_t num_values) {
    const std::int64_t size = value_block_size(block, num_values);
    return size <= values_room ? size : 0;
}

} // namespace

// The server's status.count says how many descriptions follow; at most
// num_columns of them are placed in descriptions, the rest are read and
// dropped.  On success status.count then says how many descriptions the
// call placed: the server's count, or fewer when the caller's array was
// said to hold fewer or an answer record carried less than its share.
// A null descriptions area is refused (10036) before anything is sent when
// descriptions are asked for.
KL_EXPORT uint32_t KLAPI kldescribe(kl_long cursor, const char* options, klstatus* status,
                                    kl_long num_columns, char* descriptions) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: kldescribe\n  cursor=%ld\n  options=%.80s\n  num_columns=%ld\n",
                   cursor, options, num_columns);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (descriptions == nullptr && num_columns > 0)
            return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "descriptions");
        if (send_fixed_header_request(code_describe, block->server_cursor, num_columns, options,
                                      st) != 0)
            return;
        std::array<std::uint8_t, answer_area_size> answer;
        if (!receive_answer(answer, st)) return;
        if (st.error != 0 || st.count <= 0) return;

        const std::int64_t announced = st.count;
        const std::int64_t placed = receive_descriptions(
            announced, std::max<std::int64_t>(num_columns, 0), descriptions, st);
        if (placed < 0) return;
        if (placed < announced)
            trace_call("  Descriptions announced=%ld, placed=%ld.\n", announced, placed);
        st.count = static_cast<kl_long>(placed);
        for (std::int64_t k = 0; k < placed; ++k)
            convert_description_numbers(reinterpret_cast<std::uint8_t*>(descriptions) +
                                        k * description_size);
    });
}

// A num_columns of 0 or below sends only the request; a null descriptions
// area with columns to send is refused (10036) before anything is sent.
KL_EXPORT uint32_t KLAPI klbind(kl_long cursor, const char* options, klstatus* status,
                                kl_long num_columns, const char* descriptions) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klbind\n  cursor=%ld\n  options=%.80s\n  num_columns=%ld\n", cursor,
                   options, num_columns);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (descriptions == nullptr && num_columns > 0)
            return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "descriptions");
        if (send_fixed_header_request(code_bind, block->server_cursor, num_columns, options, st) !=
            0)
            return;
        if (!send_descriptions(num_columns, descriptions, st)) return;
        std::array<std::uint8_t, status_size> answer;
        if (!receive_answer(answer, st)) return;
        if (st.error == 0) block->record_length = st.bufflen;
    });
}

// Sends value_size (from the last successful select) times num_values
// bytes of values behind an 8-byte label field.  A block larger than the
// request area holds is refused with 18021 ("values") before anything is
// sent, rather than cut; a negative product (a negative count or size)
// sends no values; a null values area with values to send is refused
// (10036).
KL_EXPORT uint32_t KLAPI klassignvalues(kl_long cursor, const char* options, klstatus* status,
                                        const char* label, kl_long num_values, const char* values) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call(
            "\nFunction: klassignvalues\n  cursor=%ld\n  options=%.80s\n  label=%.32s\n  "
            "num_values=%ld\n  values=%.32s\n",
            cursor, options, label, num_values,
            traced_bytes(values, traced_value_size(client_tables.cursors.find(cursor), num_values))
                .text);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        trace_call("  values size (from klselect)=%ld\n", block->value_size);

        const std::int64_t value_bytes = value_block_size(block, num_values);
        if (value_bytes > values_room)
            return set_local_status(st, KL_ERR_STRINGS_TOO_LONG, 0, "values");
        if (values == nullptr && value_bytes > 0)
            return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "values");

        std::array<std::uint8_t, label_field_size + values_room> tail;
        copy_option_text(std::span(reinterpret_cast<char*>(tail.data()), label_field_size), label);
        if (value_bytes > 0)
            std::memcpy(tail.data() + label_field_size, values,
                        static_cast<std::size_t>(value_bytes));
        const auto tail_size = label_field_size + static_cast<std::size_t>(value_bytes);
        if (send_fixed_header_request(code_assign_values, block->server_cursor, num_values, options,
                                      st, std::span(tail).first(tail_size)) != 0)
            return;
        std::array<std::uint8_t, status_size> answer;
        receive_answer(answer, st);
    });
}

// Update and delete rows through a cursor.
//
// Update request (code 315): code, server cursor, a fixed 256-byte string
// area (table, columns, options, each with its NUL, zero-filled behind),
// then the new row: the cursor's record_length bytes of the caller's
// buffer, as select, bind or form last reported it.  262 + record_length
// bytes go out.
//
// Delete request (code 316): a packed-string request of table and options.
//
// Both are answered by a status record only; neither changes the cursor
// block.  The texts go out whole, semicolons and all.

#include <array>
#include <cstring>

#include "calls/call_support.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/trace.h"
#include "protocol.h"
#include "transport/exchange.h"

namespace {

using namespace kl;

using protocol::code_delete;
using protocol::code_update;

constexpr std::size_t update_string_area = protocol::row_string_area_size;
constexpr std::size_t update_row_offset = 2 + 4 + update_string_area; // 262
// The whole update request is one record of at most 2048 bytes.
constexpr std::size_t update_row_limit = request_area_size - update_row_offset; // 1786

// Whether an update request can be built: the three texts with their
// NULs fit the 256-byte area, the row fits the record behind it, and the
// texts' lengths (without NULs) and the row together stay within 2038,
// the limit the request has always been held to.  A record length the
// server reported below 0 describes no row and is refused as well.
bool update_fits(TextList texts, std::int32_t row_length) {
    if (row_length < 0 || static_cast<std::size_t>(row_length) > update_row_limit) return false;
    if (!packed_fits(texts, update_string_area)) return false;
    const std::size_t text_lengths = packed_length(texts) - texts.size();
    return text_lengths + static_cast<std::size_t>(row_length) <= string_area_size;
}

} // namespace

KL_EXPORT uint32_t KLAPI klupdate(kl_long cursor, const char* options, klstatus* status,
                                  const char* table, const char* columns, const char* buffer) {
    return run_call(status, [&](klstatus& st) {
        // The first trace line comes before any check.  It reads the row
        // length only through a valid cursor number; an invalid number
        // shows 0 and no row bytes.
        const kl_cursor_t* traced = client_tables.cursors.find(cursor);
        const std::int32_t traced_length = traced ? traced->record_length : 0;
        trace_call("\nFunction: klupdate\n  cursor=%ld\n  options=%.80s\n  table=%.80s\n  "
                   "columns=%.80s\n  buffer=%.80s\n  table_len=%ld\n",
                   cursor, options, table, columns, traced_bytes(buffer, traced_length).text,
                   traced_length);

        // Unlike the other cursor calls, the cursor is checked before the
        // connection.
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (!require_connection(st)) return;
        const std::int32_t row_length = block->record_length;
        const TextList texts = {table, columns, options};
        if (!update_fits(texts, row_length)) return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
        // A row is read from the caller's buffer, so it must be there.
        if (buffer == nullptr && row_length > 0)
            return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "buffer");

        std::array<std::uint8_t, request_area_size> request;
        RequestBuilder builder(request);
        builder.code(code_update).id(block->server_cursor);
        for (const char* text : texts)
            builder.string(text);
        builder.pad_to(update_row_offset)
            .bytes({reinterpret_cast<const std::uint8_t*>(buffer),
                    static_cast<std::size_t>(row_length)});
        trace_call("  pcbuf.values=%.80s\n  wbuffer_len=%d\n",
                   traced_bytes(request.data() + update_row_offset, row_length).text,
                   packed_length(texts));

        if (send_request(builder.request(), st) != 0) return;
        std::array<std::uint8_t, status_size> answer;
        receive_answer(answer, st);
    });
}

KL_EXPORT uint32_t KLAPI kldelete(kl_long cursor, const char* options, klstatus* status,
                                  const char* table) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        // Too long texts are refused before the trace line.
        const TextList texts = {table, options};
        if (!packed_fits(texts)) return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
        trace_call("\nFunction: kldelete\n  cursor=%ld\n  options=%.80s\n  table=%.80s\n", cursor,
                   options, table);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;

        if (send_packed_request(code_delete, block->server_cursor, std::nullopt, texts, st) != 0)
            return;
        std::array<std::uint8_t, status_size> answer;
        receive_answer(answer, st);
    });
}

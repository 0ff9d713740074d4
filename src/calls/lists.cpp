// List a table's records and read a form through a cursor.
//
// Both send a packed-string request with a 32-bit number behind the
// cursor identifier: list (code 318) the count of records wanted and the
// texts table, columns, criteria, options; form (code 319) the list entry
// and the texts table, columns, options.  The texts go out whole,
// semicolons and all.
//
// List collects records across as many answer records as the server
// sends, with the same loop as fetch.  Form reads one answer record and
// hands its data to the caller; on success the data's length becomes the
// cursor's record_length, the row length a later update sends.

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

using protocol::code_form;
using protocol::code_list;

// The data behind the status of one answer record.
constexpr std::size_t form_data_size = protocol::answer_data_size; // 1956

} // namespace

// A null buffer is refused (10036) before anything is sent when records
// are asked for: the answer would have nowhere to go.
KL_EXPORT uint32_t KLAPI kllist(kl_long cursor, const char* options, klstatus* status,
                                const char* table, const char* columns, const char* criteria,
                                kl_long count, char* buffer) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        const TextList texts = {table, columns, criteria, options};
        if (!packed_fits(texts)) return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
        trace_call("\nFunction: kllist\n  cursor=%ld\n  options=%.80s\n  table=%.80s\n  "
                   "columns=%.80s\n  criteria=%.80s\n  count=%ld\n",
                   cursor, options, table, columns, criteria, count);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (buffer == nullptr && count > 0)
            return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "buffer");

        if (send_packed_request(code_list, block->server_cursor, count, texts, st) != 0) return;
        collect_records(count, buffer, st);
    });
}

// The form data go to buffer whatever the status says.  The status's
// bufflen tells how many bytes: the data area is zeroed before the
// request, so a bufflen within the area copies exactly that many bytes
// (zeros where the answer was shorter).  A bufflen below 0 or beyond the
// 1956-byte area describes no data the area can hold; then only the bytes
// that arrived are copied.  A null buffer is refused (10036) before
// anything is sent.
KL_EXPORT uint32_t KLAPI klform(kl_long cursor, const char* options, klstatus* status,
                                const char* table, const char* columns, kl_long list_entry,
                                char* buffer) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        const TextList texts = {table, columns, options};
        if (!packed_fits(texts)) return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
        trace_call("\nFunction: klform\n  cursor=%ld\n  options=%.80s\n  table=%.80s\n  "
                   "columns=%.80s\n  list_entry=%.ld\n",
                   cursor, options, table, columns, list_entry);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (buffer == nullptr) return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "buffer");

        std::array<std::uint8_t, answer_area_size> answer{};
        if (send_packed_request(code_form, block->server_cursor, list_entry, texts, st) != 0)
            return;
        const std::optional<Received> received = receive_answer(answer, st);
        if (!received) return;

        const std::size_t arrived = data_length(*received);
        const bool announced_fits =
            st.bufflen >= 0 && static_cast<std::size_t>(st.bufflen) <= form_data_size;
        const std::size_t copied = announced_fits ? static_cast<std::size_t>(st.bufflen) : arrived;
        std::memcpy(buffer, answer.data() + status_size, copied);
        // The server's bufflen is the row length; an update checks it
        // against the request's bounds before it is used.
        if (st.error == 0) block->record_length = st.bufflen;
    });
}

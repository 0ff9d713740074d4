// Qualify and select a cursor's records, and fetch them (or their keys).
//
// Qualify and select send packed-string requests and, on success, leave
// the sizes the server reports in the cursor block: select's value-set
// size (used by klassignvalues) and record length (used by klupdate),
// qualify's own size word.  Fetch sends a fixed-header request and
// collects records across as many answer records as the server sends.

#include <array>

#include "calls/call_support.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/trace.h"
#include "protocol.h"
#include "transport/exchange.h"

namespace {

using namespace kl;

using protocol::code_fetch;
using protocol::code_fetch_keys;
using protocol::code_qualify;
using protocol::code_select;

// Sends a packed-string request for a cursor and reads its status.  False
// when the call ends here (status filled).
bool exchange_cursor_texts(std::uint16_t code, const kl_cursor_t& block, TextList texts,
                           klstatus& st) {
    std::array<std::uint8_t, status_size> answer;
    return exchange_packed_request(code, block.server_cursor, texts, answer, st).has_value();
}

} // namespace

KL_EXPORT uint32_t KLAPI klqualify(kl_long cursor, const char* options, klstatus* status,
                                   const char* owner, const char* table, const char* column,
                                   const char* criteria) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klqualify\n  cursor=%ld\n  options=%.80s\n  owner=%.32s\n  "
                   "table=%.32s\n  column=%.80s\n  criteria=%.80s\n",
                   cursor, options, owner, table, column, criteria);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (!exchange_cursor_texts(code_qualify, *block, {owner, table, column, options, criteria},
                                   st))
            return;
        if (st.error == 0) block->qualify_size = st.valuesize;
    });
}

KL_EXPORT uint32_t KLAPI klselect(kl_long cursor, const char* options, klstatus* status,
                                  const char* table, const char* column, const char* criteria) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klselect\n  cursor=%ld\n  options=%.80s\n  table=%.32s\n  "
                   "column=%.80s\n  criteria=%.80s\n",
                   cursor, options, table, column, criteria);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (!exchange_cursor_texts(code_select, *block, {table, column, criteria, options}, st))
            return;
        if (st.error == 0) {
            block->value_size = st.valuesize;
            block->record_length = st.bufflen;
        }
    });
}

// A null records area is refused (10036) before anything is sent when
// records are asked for: the answer would have nowhere to go.
KL_EXPORT uint32_t KLAPI klfetch(kl_long cursor, const char* options, klstatus* status,
                                 kl_long count, char* records) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klfetch\n  cursor=%ld\n  options=%.80s\n  count=%ld\n", cursor,
                   options, count);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (records == nullptr && count > 0)
            return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "records");
        if (send_fixed_header_request(code_fetch, block->server_cursor, count, options, st) != 0)
            return;
        if (!collect_records(count, records, st)) return;
        // Running out of records after some arrived is only a warning when
        // more than one was asked for.
        if (st.error == KL_ERR_NO_MORE_RECORDS && count > 1 && st.count > 0) {
            st.warn = KL_ERR_NO_MORE_RECORDS;
            st.info = 0;
            st.error = 0;
        }
    });
}

// Everything behind the status goes to keys, whatever the status says; a
// null keys area is refused (10036) before anything is sent.
KL_EXPORT uint32_t KLAPI klfetchkeys(kl_long cursor, const char* options, klstatus* status,
                                     kl_long num_keys, char* keys) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klfetchkeys\n  cursor=%ld\n  options=%.80s\n  num_keys=%ld\n",
                   cursor, options, num_keys);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (keys == nullptr) return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "keys");
        if (send_fixed_header_request(code_fetch_keys, block->server_cursor, num_keys, options,
                                      st) != 0)
            return;
        std::array<std::uint8_t, answer_area_size> answer;
        if (const std::optional<Received> received = receive_answer(answer, st))
            copy_answer_data(answer, *received, keys);
    });
}

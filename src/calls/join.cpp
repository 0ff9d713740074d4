// Join: a column of one table matched with a column of another, for a
// cursor.  kljoin and kljoin303 differ only in kljoin's sixth argument,
// which takes room in the argument list and is never read; both put the
// same packed-string request on the wire and write the same trace line.
// On success the server's size word is kept as the cursor's qualify size,
// as qualify does.

#include <array>

#include "calls/call_support.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/trace.h"
#include "protocol.h"

namespace {

using namespace kl;

using protocol::code_join;

std::uint32_t join(kl_long cursor, const char* options, klstatus* status, const char* from_table,
                   const char* from_column, const char* to_table, const char* to_column) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: kljoin\n  cursor=%ld\n  options=%.80s\n  from_table=%.32s\n  "
                   "to_table=%.32s\n  from_column=%.32s\n  to_column=%.32s\n",
                   cursor, options, from_table, to_table, from_column, to_column);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        std::array<std::uint8_t, status_size> answer;
        if (!exchange_packed_request(code_join, block->server_cursor,
                                     {from_table, from_column, to_table, to_column, options},
                                     answer, st))
            return;
        if (st.error == 0) block->qualify_size = st.valuesize;
    });
}

} // namespace

KL_EXPORT uint32_t KLAPI kljoin(kl_long cursor, const char* options, klstatus* status,
                                const char* from_table, const char* from_column,
                                kl_long /*reserved*/, const char* to_table, const char* to_column) {
    return join(cursor, options, status, from_table, from_column, to_table, to_column);
}

KL_EXPORT uint32_t KLAPI kljoin303(kl_long cursor, const char* options, klstatus* status,
                                   const char* from_table, const char* from_column,
                                   const char* to_table, const char* to_column) {
    return join(cursor, options, status, from_table, from_column, to_table, to_column);
}

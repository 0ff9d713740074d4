// Calculation over a column, and export of a cursor's data to a file.
//
// klcalc sends a packed-string request and hands the result bytes that
// follow the server's status to the caller.  klexport sends the whole
// options text and the file name in a request of its own shape:
//
//     0   2   function code 324
//     2   4   server cursor identifier
//     6   80  options, whole (at most 78 characters), NUL, zero fill
//     86  f+1 file name (at most 254 characters) and its NUL
//
// and, before anything is sent, makes sure the caller names the node of
// the instance the cursor was opened on.

#include <array>
#include <cstring>

#include "calls/call_support.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/format.h"
#include "frame/trace.h"
#include "protocol.h"
#include "transport/exchange.h"

namespace {

using namespace kl;

using protocol::code_calc;
using protocol::code_export;

constexpr std::size_t calc_answer_size = protocol::short_answer_size;
constexpr std::size_t export_options_limit = 78;
constexpr std::size_t export_filename_limit = 254;
constexpr std::size_t export_request_size =
    2 + 4 + options_field_size + export_filename_limit + 1; // 341

} // namespace

// The server's bufflen says how many result bytes follow its status; only
// bytes that actually arrived are copied, and when fewer arrived than
// bufflen says, status.bufflen is lowered to the number copied, so the
// caller never reads result bytes that were not written.  The copy is made
// whatever status.error says.  A null result area is refused (10036)
// before anything is sent.
KL_EXPORT uint32_t KLAPI klcalc(kl_long cursor, const char* options, klstatus* status,
                                const char* from_table, const char* from_column, char* result) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klcalc\n  cursor=%ld\n  options=%.80s\n  from_table=%.32s\n  "
                   "from_column=%.32s\n",
                   cursor, options, from_table, from_column);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (!packed_fits({from_table, from_column, options}))
            return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
        if (result == nullptr) return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "result");
        std::array<std::uint8_t, calc_answer_size> answer;
        const std::optional<Received> received = exchange_packed_request(
            code_calc, block->server_cursor, {from_table, from_column, options}, answer, st);
        if (!received) return;
        const auto arrived = static_cast<std::int64_t>(data_length(*received));
        if (st.bufflen > arrived) st.bufflen = static_cast<kl_long>(arrived);
        if (st.bufflen > 0)
            std::memcpy(result, answer.data() + status_size, static_cast<std::size_t>(st.bufflen));
    });
}

// Checked in this order before anything is sent: file name length
// (18021 "filename"), options length (18021 "options"), the cursor's
// instance, and the node.  A cursor whose instance was disconnected (its
// cursors stay in the table) is refused with 11008 and the instance
// number: there is no node left to check it against.
KL_EXPORT uint32_t KLAPI klexport(kl_long cursor, const char* options, klstatus* status,
                                  const char* node, const char* filename) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klexport\n  cursor=%ld\n  options=%.80s\n  filename=%.80s\n",
                   cursor, options, filename);
        kl_cursor_t* block = find_cursor(cursor, st);
        if (block == nullptr) return;
        if (bounded_length(filename, export_filename_limit + 1) > export_filename_limit)
            return set_local_status(st, KL_ERR_STRINGS_TOO_LONG, 0, "filename");
        const std::size_t options_length = bounded_length(options, export_options_limit + 1);
        if (options_length > export_options_limit)
            return set_local_status(st, KL_ERR_STRINGS_TOO_LONG, 0, "options");
        ClientInstance* instance = find_instance(block->instance, st, "client instance");
        if (instance == nullptr) return;
        // The stored node is upper case; the caller's may be in any case.
        if (!equal_ignoring_case(node, instance->node))
            return set_local_status(st, KL_ERR_NODE_MISMATCH, 0, node);

        std::array<std::uint8_t, options_field_size> options_field{};
        if (options_length > 0) std::memcpy(options_field.data(), options, options_length);
        std::array<std::uint8_t, export_request_size> request;
        RequestBuilder builder(request);
        builder.code(code_export).id(block->server_cursor).bytes(options_field).string(filename);
        std::array<std::uint8_t, status_size> answer;
        exchange_request(builder.request(), answer, st);
    });
}

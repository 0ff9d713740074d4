// Cursor open and close, and the version call.
//
// klclosecursor shows the shape every call that names a cursor or an
// instance has: guard and claim (run_call), the connected check, the
// "Function:" trace line, the number check, the request, the exchange,
// the call's own work on the answer, and the common exit (run_call again).

#include <algorithm>
#include <array>
#include <cstring>

#include "calls/call_support.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/format.h"
#include "frame/trace.h"
#include "platform/platform.h"
#include "protocol.h"
#include "transport/exchange.h"

namespace {

using namespace kl;

using protocol::code_close_cursor;
using protocol::code_open_cursor;
using protocol::code_version;

// Version records: 18 of them ride in each answer record after its
// 92-byte header.
using protocol::version_record_size;
constexpr std::size_t version_data_per_record =
    protocol::version_records_per_answer * version_record_size;
constexpr std::size_t version_answer_size = protocol::record_area_size;
constexpr std::size_t version_options_limit = 79;

void fill_own_version(klversion_record& record) {
    std::memset(&record, 0, sizeof record);
    copy_text(record.na_name, "NA_TCP");
    copy_text(record.description, "Kelora Server DLL (TCP Sockets)");
    record.version = KLSRV32_VERSION_NUMBER;
    copy_text(record.version_text, KLSRV32_VERSION_TEXT);
}

// Reads the answer records that follow the version call's status: count
// records, 18 to an answer record.  Only bytes that arrived are copied (a
// short answer record leaves the rest of its stretch of the caller's area
// untouched), and each record copied whole gets its version number in this
// machine's order.  A broken connection ends the reading with the status
// filled; the records read until then stay in the area.
void collect_version_records(klversion_record* records, std::int32_t count, klstatus& status) {
    constexpr std::int64_t per_answer = version_data_per_record;
    constexpr std::int64_t record_size = version_record_size;
    auto* area = reinterpret_cast<std::uint8_t*>(records);
    std::array<std::uint8_t, version_answer_size> answer;
    const std::int64_t total = count * record_size;
    for (std::int64_t position = 0; position < total; position += per_answer) {
        const std::optional<Received> received = receive_response(answer, status);
        if (!received) return;
        const std::int64_t take = std::min(
            {static_cast<std::int64_t>(data_length(*received)), total - position, per_answer});
        std::memcpy(area + position, answer.data() + status_size, static_cast<std::size_t>(take));
        for (std::int64_t k = position / record_size; k < (position + take) / record_size; ++k)
            convert_i32(reinterpret_cast<std::uint8_t*>(&records[k].version));
    }
}

} // namespace

KL_EXPORT uint32_t KLAPI klopencursor(kl_long instance, const char* options, klstatus* status,
                                      kl_long* cursor) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klopencursor\n  instance=%ld\n  options=%.80s\n", instance,
                   options);
        ClientInstance* inst = find_instance(instance, st);
        if (inst == nullptr) return;
        if (!client_tables.ready) {
            set_local_status(st, KL_ERR_NO_TABLES, platform::system_error(), "init inst check");
            return;
        }
        // Without somewhere to put the number, an opened cursor could
        // never be closed; refuse before the server is asked.
        if (cursor == nullptr) {
            set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "cursor");
            return;
        }
        std::unique_ptr<kl_cursor_t> block = new_block<kl_cursor_t>();
        if (!block) {
            set_local_status(st, KL_ERR_NO_MEMORY, platform::system_error(), "kl_cursor_t");
            return;
        }
        block->instance = instance;
        block->connection = inst->connection;

        std::array<std::uint8_t, status_size + 4> answer{};
        if (!exchange_id_request(code_open_cursor, inst->server_instance, options, answer, st) ||
            st.error != 0)
            return;

        std::memcpy(block->server_cursor.bytes, answer.data() + status_size, 4);
        const ServerId server_cursor = block->server_cursor;
        std::int32_t number = 0;
        if (const int added = client_tables.cursors.add(block, number); added != 0) {
            trace_call(" Error: recording cursor\n");
            set_local_status(st, KL_ERR_RECORD_BLOCK, added, "record_cursor");
            return;
        }
        *cursor = number;
        trace_call("  cursor server=%ld, client=%ld\n", server_id_number(server_cursor), number);
    });
}

KL_EXPORT uint32_t KLAPI klclosecursor(kl_long cursor, const char* options, klstatus* status) {
    return run_call(status, [&](klstatus& st) {
        if (free_stale_cursor(cursor, st)) return;
        if (!require_connection(st)) return;
        trace_call("\nFunction: klclosecursor\n  Cursor=%ld\n  options=%.80s\n", cursor, options);
        kl_cursor_t* block = find_cursor(cursor, st, nullptr);
        if (block == nullptr) return;

        std::array<std::uint8_t, status_size> answer{};
        if (!exchange_id_request(code_close_cursor, block->server_cursor, options, answer, st))
            return;

        // The cursor goes whatever the server said about it.
        if (const int removed = client_tables.cursors.remove(cursor); removed != 0) {
            set_local_status(st, KL_ERR_RECORD_BLOCK, removed, "remove cursor");
            trace_call("  Error:  removing local cursor control block %d", cursor);
        }
    });
}

KL_EXPORT uint32_t KLAPI klversion(kl_long instance, const char* options, klstatus* status,
                                   const char* node, kl_long server_arg,
                                   klversion_record* records) {
    return run_call(status, [&](klstatus& st) {
        if (node == nullptr) return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "node name");
        if (options == nullptr) return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "option list");
        // Every answer is written to the records area, so without one the
        // call is refused like a missing node or option list.
        if (records == nullptr)
            return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "version records");
        if (bounded_length(options, version_options_limit) >= version_options_limit)
            return set_local_status(st, KL_ERR_STRINGS_TOO_LONG, 0, "options");

        if (node[0] == '\0') {
            fill_own_version(records[0]);
            clear_status(st);
            st.count = 1;
            st.bufflen = static_cast<kl_long>(version_record_size);
            return;
        }

        ClientInstance* inst = find_instance(instance, st, "client instance");
        if (inst == nullptr) return;
        if (!require_connection(st)) return;
        if (!equal_ignoring_case(node, inst->node))
            return set_local_status(st, KL_ERR_NODE_MISMATCH, 0, node);

        std::array<std::uint8_t, 90> request;
        RequestBuilder builder(request);
        builder.code(code_version).id(inst->server_instance).i32(server_arg).options_field(options);
        std::array<std::uint8_t, version_answer_size> answer{};
        if (!exchange_request(builder.request(), answer, st)) return;
        if (st.error != 0 || st.count <= 0) return;
        if (st.count > KL_VERSION_MAX_RECORDS) {
            // More records than any caller's area is sized for: a malformed
            // answer.  The records announced are not read, so the stream is
            // out of step and the connection goes; the failure is 18065
            // with info 0, as for an answer whose record ends early, and no
            // count is reported.
            trace_call("  Version records announced=%ld, more than %d\n", st.count,
                       KL_VERSION_MAX_RECORDS);
            malformed_answer(st);
            st.count = 0;
            st.bufflen = 0;
            return;
        }
        collect_version_records(records, st.count, st);
    });
}

// Row insertion through a client instance.
//
// The caller hands over one row: the values of all the table's columns in
// catalogue order, which the library does not look inside.  What the
// library must know is how many bytes the row has.  The first time an
// instance inserts into a table, the row length is added up from the
// table's column descriptions, asked of the catalogue with klgetinfo
// queries nested in the insert, and kept with the table name in the
// instance block; later inserts into the same table (letter case aside)
// reuse it.  Two lengths are kept: the binary form (length x occurrences
// per column) and the character form chosen with the CHAR option (text
// types as in binary, every other type 32 characters per occurrence).
//
// Request, function code 314:
//
//   offset  size  field
//   0       2     function code
//   2       4     server instance identifier, as stored
//   6       256   table, columns, options, each with its NUL; zero-filled
//   262     n     the first n bytes of the row (n = the row length in use)
//
// The answer is a status record alone.

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "calls/call_support.h"
#include "calls/catalogue.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/format.h"
#include "frame/options.h"
#include "frame/trace.h"
#include "protocol.h"
#include "transport/exchange.h"

namespace {

using namespace kl;

using protocol::code_insert;
constexpr std::size_t insert_texts_room = protocol::row_string_area_size;
constexpr std::size_t insert_header_size = 2 + 4 + insert_texts_room; // 262
// The texts' lengths (no terminators) and the row together may not pass
// this figure.
constexpr std::int64_t texts_and_row_limit = protocol::string_area_size;
constexpr std::size_t options_limit = 255;

enum InsertOption { opt_char, opt_skipia, opt_nowait, opt_hook, insert_option_count };

// The catalogue query for a table's columns: table name and column name
// "*" as blank-padded 32-byte fields; per column its type, length and
// occurrence count, at most 100 columns per answer.
constexpr std::size_t catalogue_name_size = protocol::name_field_size;
constexpr kl_long columns_per_query = 100;
constexpr std::size_t descriptor_size = 12;
constexpr std::int64_t character_width = protocol::character_number_width;

// A server that keeps answering full sets of 100 columns is asked again
// each time; one that never stops would hold the call forever.  Discovery
// gives up after 21 queries (2100 columns): a row of columns at least one
// byte wide passes what a 2048-byte record carries long before that.
constexpr int query_limit = 21;

// Row-length sums are kept within +/- 2^40, far beyond any row a request
// can carry, so no hostile length or occurrence count can overflow them.
constexpr std::int64_t sum_limit = std::int64_t{1} << 40;

struct RowLengths {
    std::int64_t character = 0;
    std::int64_t binary = 0;
};

bool is_text_type(std::int32_t type) {
    return type == KL_TYPE_CHAR || type == KL_TYPE_VARCHAR || type == KL_TYPE_DATE;
}

void add_room(std::int64_t& sum, std::int64_t room) {
    sum = std::clamp(sum + room, -sum_limit, sum_limit);
}

std::int32_t to_length(std::int64_t sum) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        sum, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Parses a private copy of the options (the request carries the caller's
// own text).  A rejected text fails the call with the parser's report:
// 18006 and a text naming the reason and the offending word, such as
// "value not allowed CHAR".
bool read_insert_options(const char* options, bool& character_form, klstatus& st) {
    if (options == nullptr || options[0] == '\0') return true;
    const std::size_t length = text_length(options);
    if (length > options_limit) {
        set_local_status(st, KL_ERR_OPTIONS_TOO_LONG, static_cast<std::int32_t>(length), "options");
        return false;
    }
    std::array<char, options_limit + 1> work{};
    copy_text(work, options);
    std::array<OptionEntry, insert_option_count> table = {
        {{"CHAR"}, {"SKIPIA"}, {"NOWAIT"}, {"HOOK"}}};
    ParseReport report;
    if (parse_options(work.data(), table, report) < 0) {
        set_local_status(st, report.error, 0, report.text);
        return false;
    }
    character_form = table[opt_char].seen != 0;
    return true;
}

// Adds the columns of one catalogue answer to the sums.  Only the 100
// descriptors asked for are read, whatever count the server claims.
void add_columns(const std::uint8_t* descriptors, kl_long count, RowLengths& sums) {
    const kl_long n = std::clamp<kl_long>(count, 0, columns_per_query);
    for (kl_long i = 0; i < n; ++i) {
        const std::uint8_t* at = descriptors + descriptor_size * static_cast<std::size_t>(i);
        const std::int32_t type = load_i32(at);
        const std::int64_t length = load_i32(at + 4);
        const std::int64_t occurrences = load_i32(at + 8);
        add_room(sums.binary, length * occurrences);
        add_room(sums.character, (is_text_type(type) ? length : character_width) * occurrences);
    }
}

// Asks the catalogue for the table's columns, 100 at a time, and adds up
// both row lengths.  Each query is klgetinfo's own work run as a nested
// call: the insert keeps the owner word throughout, so no call of another
// thread runs inside it, and the trace shows each query as the klgetinfo
// call it is.  An answer of 11257 (no more columns) or one of fewer than
// 100 columns ends the discovery.  False after filling the status.
//
// The catalogue's table field holds 32 characters, so a longer table name
// cannot be described and is refused with 18021 (text "table") before any
// query is sent.
bool discover_row_lengths(kl_long instance, const char* table, RowLengths& sums, klstatus& st) {
    const std::size_t name_length = text_length(table);
    if (name_length > catalogue_name_size) {
        set_local_status(st, KL_ERR_STRINGS_TOO_LONG, 0, "table");
        return false;
    }
    char qualifiers[2 * catalogue_name_size + 1] = {};
    std::memset(qualifiers, ' ', 2 * catalogue_name_size);
    if (name_length > 0) std::memcpy(qualifiers, table, name_length);
    qualifiers[catalogue_name_size] = '*';
    const kl_long qualifier_items[] = {KL_ITEM_TABLE, KL_ITEM_COLUMN, 0};
    const kl_long buffer_items[] = {KL_ITEM_COLUMN_TYPE, KL_ITEM_COLUMN_LENGTH, KL_ITEM_OCCURRENCES,
                                    0};
    char options[16];
    format_text(options, "  COUNT=%d", columns_per_query);
    // Room for everything an answer can carry, not only the 100
    // descriptors asked for, since klgetinfo copies what arrives.
    std::array<std::uint8_t, protocol::short_answer_data_size> descriptors;

    for (int query = 0; query < query_limit; ++query) {
        descriptors.fill(0);
        klstatus answer{};
        const std::uint32_t result = run_nested_call(answer, [&](klstatus& nested) {
            get_info(instance, options, qualifier_items, qualifiers, buffer_items,
                     reinterpret_cast<char*>(descriptors.data()), nested);
        });
        if (answer.error == KL_ERR_END_OF_CATALOGUE) return true;
        if (result != 0) {
            set_local_status(st, answer.error, answer.info, "klgetinfo");
            st.warn = answer.warn;
            return false;
        }
        add_columns(descriptors.data(), answer.count, sums);
        if (answer.count < columns_per_query) return true;
        // "N": go on after the last column returned.
        options[0] = 'N';
    }
    set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
    return false;
}

// The length checks before the request is built: the texts' lengths with
// the row in use within 2038 (in character form the binary row as well),
// the texts with their terminators within the 256-byte string area, and
// the whole record, header and row, within 2048 bytes.  A negative row
// length (from a hostile catalogue answer) never fits.
bool insert_fits(std::int64_t text_lengths, std::size_t packed, std::int64_t row,
                 bool character_form, const ClientInstance& inst) {
    if (character_form && text_lengths + inst.char_row_length > texts_and_row_limit) return false;
    if (text_lengths + inst.binary_row_length > texts_and_row_limit) return false;
    if (packed > insert_texts_room) return false;
    return row >= 0 && row <= static_cast<std::int64_t>(request_area_size - insert_header_size);
}

// How much of the caller's row the trace line may show: the row is only
// known to hold the cached row length of its table (the shorter of the two
// forms, as the form is read later), so for a table not cached yet the
// line shows no values rather than reading an area of unknown size.
std::int64_t traceable_row_length(std::int32_t instance, const char* table) {
    const ClientInstance* inst = client_tables.instances.find(instance);
    if (inst == nullptr || !equal_ignoring_case(table, inst->insert_table)) return 0;
    return std::min(inst->char_row_length, inst->binary_row_length);
}

} // namespace

// A null values area is refused (10036) before anything is sent when the
// row has bytes to read.
KL_EXPORT uint32_t KLAPI klinsert(kl_long instance, const char* options, klstatus* status,
                                  const char* table, const char* columns, const char* values) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klinsert\n  instance=%ld\n  options=%.80s\n  table=%.80s\n  "
                   "columns=%.80s\n  values=%.80s\n",
                   instance, options, table, columns,
                   traced_bytes(values, traceable_row_length(instance, table)).text);
        ClientInstance* inst = find_instance(instance, st, "client instance");
        if (inst == nullptr) return;
        bool character_form = false;
        if (!read_insert_options(options, character_form, st)) return;

        if (!equal_ignoring_case(table, inst->insert_table)) {
            RowLengths sums;
            if (!discover_row_lengths(instance, table, sums, st)) return;
            inst->char_row_length = to_length(sums.character);
            inst->binary_row_length = to_length(sums.binary);
            copy_text(inst->insert_table, table);
        }

        const std::int32_t row = character_form ? inst->char_row_length : inst->binary_row_length;
        const std::int64_t text_lengths = static_cast<std::int64_t>(
            text_length(columns) + text_length(table) + text_length(options));
        const std::size_t packed = packed_length({table, columns, options});
        if (!insert_fits(text_lengths, packed, row, character_form, *inst))
            return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
        if (values == nullptr && row > 0)
            return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "values");
        trace_call("  table row length=%ld\n", row);

        std::array<std::uint8_t, request_area_size> request;
        RequestBuilder builder(request);
        builder.code(code_insert)
            .id(inst->server_instance)
            .string(table)
            .string(columns)
            .string(options)
            .zeros(insert_texts_room - packed)
            .bytes({reinterpret_cast<const std::uint8_t*>(values), static_cast<std::size_t>(row)});
        std::array<std::uint8_t, status_size> answer;
        exchange_request(builder.request(), answer, st);
    });
}

// The request handlers, one per function code, grouped by family in
// handlers/*.cpp, and the pieces several families share.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol.h"
#include "session.h"

namespace kls {

using Handler = void (*)(Exchange&);

// handlers/connection.cpp
void handle_connect(Exchange& ex);      // 301
void handle_disconnect(Exchange& ex);   // 302
void handle_open_cursor(Exchange& ex);  // 303
void handle_close_cursor(Exchange& ex); // 304
void handle_version(Exchange& ex);      // 327
void handle_host_version(Exchange& ex); // 250
void handle_message(Exchange& ex);      // 317

// handlers/selection.cpp
void handle_qualify(Exchange& ex);       // 305
void handle_fetch_keys(Exchange& ex);    // 306
void handle_select(Exchange& ex);        // 307
void handle_fetch(Exchange& ex);         // 308
void handle_assign_values(Exchange& ex); // 312

// handlers/columns.cpp
void handle_describe(Exchange& ex); // 310
void handle_bind(Exchange& ex);     // 311

// handlers/calc_export.cpp
void handle_join(Exchange& ex);   // 309
void handle_calc(Exchange& ex);   // 323
void handle_export(Exchange& ex); // 324

// handlers/rows.cpp
void handle_insert(Exchange& ex); // 314
void handle_update(Exchange& ex); // 315
void handle_delete(Exchange& ex); // 316

// handlers/lists.cpp
void handle_list(Exchange& ex); // 318
void handle_form(Exchange& ex); // 319

// handlers/catalogue.cpp
void handle_catalogue(Exchange& ex);  // 320
void handle_index_info(Exchange& ex); // 321

// handlers/external.cpp
void handle_command(Exchange& ex);  // 325
void handle_external(Exchange& ex); // 326

// The handler of a function code, or nullptr.
Handler find_handler(std::uint16_t code);

// Shared steps.  Each answers the request itself (with 20001, 20003 or
// 20004) and returns nullptr when it fails.
//
// The instance or cursor the request's identifier names.
Instance* request_instance(Exchange& ex, std::uint32_t id);
Cursor* request_cursor(Exchange& ex, std::uint32_t id);
// The instance the cursor belongs to (20003 when it is gone).
Instance* cursor_instance(Exchange& ex, const Cursor& cursor);
// The cursor's selection (20013 when it has none).
Selection* request_selection(Exchange& ex, Cursor& cursor);
// What a request on a cursor works with: the cursor, its instance and
// (when asked for) its selection.
struct Target {
    Cursor* cursor;
    Instance* instance;
    Selection* selection; // nullptr unless asked for
};
// The cursor id names, its instance and, when with_selection is set, its
// selection (20013 when it has none); nullopt after answering.
std::optional<Target> request_target(Exchange& ex, std::uint32_t id, bool with_selection);
// Answers 20001 when the request's fields ran past its end.
bool request_complete(Exchange& ex);

// The selection's own record layout: its columns in its form, followed by
// every column of the table joined to it, if any (of `joined` when given).
Layout selection_layout(const Selection& selection, const TableInfo* joined = nullptr);

// A plain file name for a folder of the server (databases, exports):
// letters, digits, '_', '-' and '.', at most 64 characters, no leading '.'
// and no "..".
bool plain_file_name(std::string_view name);

// Sends up to count records of the selection from its position, packed as
// many to an answer record as fit 1956 bytes, and 11032 when the rows run
// out first.  A count of 0 or less sends nothing.
void send_records(Exchange& ex, Database& db, Selection& selection, std::int32_t count);

// Answer data room after the status in one answer record.
constexpr std::size_t answer_data_room = protocol::answer_data_size;
// The options field of the requests that carry a fixed one.
constexpr std::size_t options_field = protocol::options_field_size;

} // namespace kls

// The server's error numbers and their message texts.
#pragma once

#include <cstdint>
#include <string>

#include "protocol.h"

namespace kls {

constexpr std::int32_t err_no_more_records = KL_ERR_NO_MORE_RECORDS;
constexpr std::int32_t err_no_more_entries = KL_ERR_END_OF_CATALOGUE;
constexpr std::int32_t err_malformed = 20001;
constexpr std::int32_t err_unknown_code = 20002;
constexpr std::int32_t err_unknown_instance = 20003;
constexpr std::int32_t err_unknown_cursor = 20004;
constexpr std::int32_t err_bad_name = 20005;
constexpr std::int32_t err_no_database = 20006;
constexpr std::int32_t err_exclusive = 20007;
constexpr std::int32_t err_read_only = 20008;
constexpr std::int32_t err_no_table = 20010;
constexpr std::int32_t err_no_column = 20011;
constexpr std::int32_t err_criteria = 20012;
constexpr std::int32_t err_no_selection = 20013;
constexpr std::int32_t err_no_current = 20014;
constexpr std::int32_t err_data_length = 20015;
constexpr std::int32_t err_conversion = 20016;
constexpr std::int32_t err_storage = 20017;
constexpr std::int32_t err_bad_option = 20018;
constexpr std::int32_t err_unknown_routine = 20019;
constexpr std::int32_t err_export = 20020;
constexpr std::int32_t err_command = 20022;
constexpr std::int32_t err_limit = 20023;            // instances or cursors of a session
constexpr std::int32_t err_memory = 20024;           // a request needs too much memory
constexpr std::int32_t err_not_database = 20025;     // the file is not a database
constexpr std::int32_t err_idle_rolled_back = 20026; // idle transaction rolled back
constexpr std::int32_t err_write_wait = 20027;       // another session's write went on too long
constexpr std::int32_t err_conflict = 20028;         // serialisation failure or deadlock: retry
constexpr std::int32_t err_connection_lost = 20029;  // the instance's database connection is gone
constexpr std::int32_t err_no_row_key = 20030;       // the table has no key to find its rows by
constexpr std::int32_t err_login = 20031;            // user name or password refused

// The message text of a server error number ("no message for error N"
// for numbers the server does not know).
std::string message_text(std::int32_t number);

} // namespace kls

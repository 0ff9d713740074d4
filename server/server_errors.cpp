#include "server_errors.h"

#include <array>
#include <utility>

namespace kls {

std::string message_text(std::int32_t number) {
    static constexpr std::array<std::pair<std::int32_t, const char*>, 31> texts{{
        {err_no_more_records, "no more records"},
        {err_no_more_entries, "no more catalogue entries"},
        {err_malformed, "malformed request"},
        {err_unknown_code, "unknown function code"},
        {err_unknown_instance, "unknown instance"},
        {err_unknown_cursor, "unknown cursor"},
        {err_bad_name, "database name not allowed"},
        {err_no_database, "no such database"},
        {err_exclusive, "database in exclusive use"},
        {err_read_only, "instance is read-only"},
        {err_no_table, "no such table"},
        {err_no_column, "no such column"},
        {err_criteria, "criteria do not parse"},
        {err_no_selection, "cursor has no selection"},
        {err_no_current, "no current record"},
        {err_data_length, "wrong data length"},
        {err_conversion, "value does not convert"},
        {err_storage, "storage error"},
        {err_bad_option, "bad option"},
        {err_unknown_routine, "unknown routine"},
        {err_export, "export failed"},
        {err_command, "command out of place"},
        {err_limit, "too many instances or cursors"},
        {err_memory, "request needs too much memory"},
        {err_not_database, "file is not a database"},
        {err_idle_rolled_back, "idle transaction rolled back"},
        {err_write_wait, "waited too long to write"},
        {err_conflict, "transaction conflict, try again"},
        {err_connection_lost, "database connection lost"},
        {err_no_row_key, "table has no row key"},
        {err_login, "login refused"},
    }};
    for (const auto& [n, text] : texts)
        if (n == number) return text;
    return "no message for error " + std::to_string(number);
}

} // namespace kls

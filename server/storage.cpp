#include "storage.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "server_errors.h"

namespace kls {

namespace {

// The number in "NAME(n)", or fallback.
int declared_length(std::string_view declared, int fallback) {
    const auto open = declared.find('(');
    if (open == std::string_view::npos) return fallback;
    int n = 0;
    const auto* begin = declared.data() + open + 1;
    const auto [end, ec] = std::from_chars(begin, declared.data() + declared.size(), n);
    if (ec != std::errc() || n <= 0 || n > 1786) return fallback;
    return n;
}

} // namespace

std::string upper_text(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

void classify_column(ColumnInfo& column, std::string_view declared_type) {
    const std::string type = upper_text(declared_type);
    const auto starts = [&](std::string_view word) { return type.rfind(word, 0) == 0; };
    if (starts("VARCHAR")) {
        column.type_code = type_varchar;
        column.length = declared_length(type, 32);
        column.declared = "VARCHAR(" + std::to_string(column.length) + ")";
    } else if (starts("CHAR")) {
        column.type_code = type_char;
        column.length = declared_length(type, 1);
        column.declared = "CHAR(" + std::to_string(column.length) + ")";
    } else if (type == "DATE") {
        column.type_code = type_date;
        column.length = 8;
        column.declared = "DATE";
    } else if (type == "INTEGER" || type == "INT") {
        column.type_code = type_integer;
        column.length = 4;
        column.declared = "INTEGER";
    } else if (type == "FLOAT" || type == "DOUBLE" || type == "REAL") {
        column.type_code = type_float;
        column.length = 8;
        column.declared = "FLOAT";
    } else {
        column.type_code = type_varchar;
        column.length = 32;
        column.declared = "VARCHAR(32)";
    }
    column.character_length = column.is_character_type() ? column.length : character_number_length;
}

const ColumnInfo* TableInfo::find(std::string_view column) const {
    for (const ColumnInfo& c : columns)
        if (equal_ignoring_case(c.name, column)) return &c;
    return nullptr;
}

Status storage_error(const Database& db) {
    switch (db.last_fault()) {
    case StorageFault::conflict:
        return error_status(err_conflict, db.last_error());
    case StorageFault::connection:
        return error_status(err_connection_lost, db.last_error());
    case StorageFault::none:
    case StorageFault::other:
        break;
    }
    return error_status(err_storage, db.last_error());
}

Status no_table(const Database& db, std::string_view name) {
    if (db.last_fault() == StorageFault::connection) return storage_error(db);
    return error_status(err_no_table, name);
}

} // namespace kls

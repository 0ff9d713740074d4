#include "storage.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "criteria.h"

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

Statement::Statement(sqlite3* db, std::string_view sql) {
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept : stmt_(other.stmt_) {
    other.stmt_ = nullptr;
}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = other.stmt_;
        other.stmt_ = nullptr;
    }
    return *this;
}

int Statement::step() {
    return sqlite3_step(stmt_);
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

void Statement::bind_int64(int index, std::int64_t v) {
    sqlite3_bind_int64(stmt_, index, v);
}
void Statement::bind_double(int index, double v) {
    sqlite3_bind_double(stmt_, index, v);
}
void Statement::bind_text(int index, std::string_view v) {
    sqlite3_bind_text(stmt_, index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}
void Statement::bind_null(int index) {
    sqlite3_bind_null(stmt_, index);
}

std::unique_ptr<Database> Database::open(const std::string& path, bool read_only,
                                         std::string& error, int busy_timeout_ms) {
    sqlite3* db = nullptr;
    // No symbolic link is followed to the file (SQLite refuses a link
    // anywhere in the path, which is why the server's folders are made
    // real paths at start).  A read-only open never writes the database
    // file; of a database in WAL mode SQLite still needs the -wal and -shm
    // companions and makes them when they are missing (empty, and a 32 KiB
    // index), and they stay after the close, since only a writer may
    // checkpoint and remove them.
    const int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    // Several clients share a file: a writer waits a little for another,
    // then fails with an error rather than hanging.
    sqlite3_busy_timeout(db, busy_timeout_ms);
    auto database = std::unique_ptr<Database>(new Database(db));
    if (!read_only) {
        std::string ignored;
        database->exec("PRAGMA journal_mode=WAL", ignored);
    }
    return database;
}

std::unique_ptr<Database> Database::create(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    return std::unique_ptr<Database>(new Database(db));
}

Database::~Database() {
    sqlite3_close(db_);
}

bool Database::exec(std::string_view sql, std::string& error) {
    char* message = nullptr;
    const std::string text(sql);
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : "failed";
        sqlite3_free(message);
        return false;
    }
    return true;
}

std::string Database::last_error() const {
    return sqlite3_errmsg(db_);
}

std::optional<TableInfo> Database::table(std::string_view name) {
    std::string found;
    for (const std::string& t : table_names())
        if (equal_ignoring_case(t, name)) found = t;
    if (found.empty()) return std::nullopt;

    TableInfo info;
    info.name = found;
    Statement columns(db_, "SELECT name, type, \"notnull\", pk FROM pragma_table_info(?)");
    if (!columns.ok()) return std::nullopt;
    columns.bind_text(1, found);
    while (columns.step() == SQLITE_ROW) {
        ColumnInfo c;
        const auto* name_text = sqlite3_column_text(columns.get(), 0);
        const auto* type_text = sqlite3_column_text(columns.get(), 1);
        c.name = name_text ? reinterpret_cast<const char*>(name_text) : "";
        classify_column(c, type_text ? reinterpret_cast<const char*>(type_text) : "");
        c.nullable = sqlite3_column_int(columns.get(), 2) == 0;
        c.primary_key = sqlite3_column_int(columns.get(), 3) != 0;
        info.columns.push_back(std::move(c));
    }
    return info;
}

std::vector<std::string> Database::table_names() {
    std::vector<std::string> names;
    Statement tables(db_, "SELECT name FROM sqlite_schema WHERE type='table' AND name NOT LIKE "
                          "'sqlite_%' ORDER BY name");
    while (tables.ok() && tables.step() == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(tables.get(), 0);
        if (text) names.emplace_back(reinterpret_cast<const char*>(text));
    }
    return names;
}

std::int64_t Database::row_count(const TableInfo& table) {
    Statement count(db_, "SELECT COUNT(*) FROM " + quote_identifier(table.name));
    if (!count.ok() || count.step() != SQLITE_ROW) return 0;
    return sqlite3_column_int64(count.get(), 0);
}

} // namespace kls

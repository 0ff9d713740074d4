// The server's tables: SQLite database files, their tables and columns,
// and the type codes and record sizes of the columns.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kls {

// Column type codes, as clients see them.
constexpr int type_char = 100;    // fixed character, blank-padded
constexpr int type_varchar = 201; // variable character, NUL-padded
constexpr int type_date = 1300;   // YYYYMMDD
constexpr int type_integer = 400; // 32-bit signed
constexpr int type_float = 800;   // IEEE 754 double
// Room of a non-character column in character form.
constexpr int character_number_length = 32;

struct ColumnInfo {
    std::string name;
    std::string declared; // the type as the client sees it, e.g. "CHAR(20)"
    int type_code = type_varchar;
    int length = 0;           // bytes in the binary record
    int character_length = 0; // bytes in character form
    bool nullable = true;
    bool primary_key = false;
    bool is_text() const { return type_code == type_char || type_code == type_varchar; }
    bool is_character_type() const { return is_text() || type_code == type_date; }
};

// Maps a declared SQLite type to the column's type code and lengths.
void classify_column(ColumnInfo& column, std::string_view declared_type);

struct TableInfo {
    std::string name;
    std::vector<ColumnInfo> columns;
    // Case-blind lookup; nullptr when the table has no such column.
    const ColumnInfo* find(std::string_view column) const;
};

bool equal_ignoring_case(std::string_view a, std::string_view b);
// The text with its ASCII letters in upper case.
std::string upper_text(std::string_view text);

// A prepared statement; finalised when it goes.
class Statement {
  public:
    Statement() = default;
    Statement(sqlite3* db, std::string_view sql); // check ok() after
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    void reset();
    void bind_int64(int index, std::int64_t v);
    void bind_double(int index, double v);
    void bind_text(int index, std::string_view v);
    void bind_null(int index);

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

// One open database file.  Closed when it goes.
class Database {
  public:
    // Opens path; nullptr with the reason in error when it cannot.  A
    // write waits up to busy_timeout_ms for another connection's write.
    static std::unique_ptr<Database> open(const std::string& path, bool read_only,
                                          std::string& error, int busy_timeout_ms = 2000);
    // Creates (or opens for writing) a database file.
    static std::unique_ptr<Database> create(const std::string& path, std::string& error);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* handle() const { return db_; }
    // Runs statements that take no parameters; false with the message in error.
    bool exec(std::string_view sql, std::string& error);
    std::string last_error() const;

    // The table of that name (case-blind), or nullopt.
    std::optional<TableInfo> table(std::string_view name);
    // The user tables, in name order.
    std::vector<std::string> table_names();
    std::int64_t row_count(const TableInfo& table);

  private:
    explicit Database(sqlite3* db) : db_(db) {}
    sqlite3* db_;
};

} // namespace kls

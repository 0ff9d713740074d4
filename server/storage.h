// The server's tables, behind one interface with two implementations:
// SQLite database files (sqlite_storage.h, the default) and PostgreSQL
// schemas (postgres_storage.h).  Handlers, selections and record
// conversion talk to this interface only.
//
// SQL handed to a Database is written once for both: identifiers in double
// quotes, every value a '?' parameter numbered from 1 in order (the
// PostgreSQL side renumbers them as $1, $2 ...), and what differs between
// the two spelled through dialect() or asked of the Database itself (the
// key of a row, the source of a bound key list, the index list).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "criteria.h"
#include "protocol.h"
#include "wire.h"

namespace kls {

// Column type codes, as clients see them.
constexpr int type_char = KL_TYPE_CHAR;
constexpr int type_varchar = KL_TYPE_VARCHAR;
constexpr int type_date = KL_TYPE_DATE;
constexpr int type_integer = KL_TYPE_INTEGER;
constexpr int type_float = KL_TYPE_FLOAT;
// Room of a non-character column in character form.
constexpr int character_number_length = protocol::character_number_width;

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

// Maps a declared type (SQLite's declared type, or PostgreSQL's type
// written as format_type() shows it) to the column's type code and
// lengths.
void classify_column(ColumnInfo& column, std::string_view declared_type);

struct TableInfo {
    std::string name;
    std::vector<ColumnInfo> columns;
    // Case-blind lookup; nullptr when the table has no such column.
    const ColumnInfo* find(std::string_view column) const;
};

struct IndexInfo {
    std::string name;
    bool unique = false;
    // Column names in index order; "(expression)" for an expression.
    std::vector<std::string> columns;
};

// The version record of the storage engine: a name of at most seven
// characters, its version number and its version text.
struct EngineVersion {
    std::string name;
    std::int32_t number = 0;
    std::string text;
};

bool equal_ignoring_case(std::string_view a, std::string_view b);
// The text with its ASCII letters in upper case.
std::string upper_text(std::string_view text);

// Why the last operation of a Database failed.
enum class StorageFault {
    none,
    other,      // anything else: the database's own message says what
    conflict,   // a serialisation failure or a deadlock: the client may retry
    connection, // the database connection is gone: the instance is dead
};

// The current row of a query, columns numbered from 0.  A text stays valid
// until the query steps again or is reset.
class Row {
  public:
    virtual bool is_null(int column) const = 0;
    virtual std::int64_t integer(int column) const = 0;
    virtual double real(int column) const = 0;
    virtual std::string_view text(int column) const = 0;

  protected:
    ~Row() = default;
};

// A prepared statement: bind its '?' values (numbered from 1), then step
// through its rows.  reset() readies it to run again with new values.
class Query : public Row {
  public:
    enum class Step { row, done, failed };

    virtual ~Query() = default;
    virtual void bind_integer(int index, std::int64_t v) = 0;
    virtual void bind_real(int index, double v) = 0;
    virtual void bind_text(int index, std::string_view v) = 0;
    virtual void bind_null(int index) = 0;
    virtual Step step() = 0;
    virtual void reset() = 0;
    // Sends the statement ahead of its first step, so that a database
    // apart from the server works on it while the caller does other work;
    // step() then takes its rows.  Nothing where the database is in
    // process.
    virtual void send() {}
};

// One open database, as one client instance (or the server itself) uses
// it.  Not shared between threads.
class Database {
  public:
    virtual ~Database() = default;

    virtual Dialect dialect() const = 0;
    // nullptr when sql does not prepare; last_error() says why.
    virtual std::unique_ptr<Query> prepare(std::string_view sql) = 0;
    // The same for a statement of a few thousand rows at most, which the
    // database may then hand over whole rather than a row at a time.
    virtual std::unique_ptr<Query> prepare_bounded(std::string_view sql) { return prepare(sql); }
    // The same for a statement whose rows the caller reads to their end
    // (or drops) within one request, which the database may then hand over
    // a few thousand rows at a time.
    virtual std::unique_ptr<Query> prepare_scan(std::string_view sql) { return prepare(sql); }
    // Runs statements that take no parameters.
    virtual bool exec(std::string_view sql) = 0;
    virtual std::string last_error() const = 0;
    virtual StorageFault last_fault() const = 0;

    // The table of that name (case-blind), or nullopt.
    virtual std::optional<TableInfo> table(std::string_view name) = 0;
    // The user tables, in name order.
    virtual std::vector<std::string> table_names() = 0;
    virtual std::int64_t row_count(const TableInfo& table) = 0;
    // The table's indexes in name order; nullopt when they cannot be read.
    virtual std::optional<std::vector<IndexInfo>> indexes(const TableInfo& table) = 0;

    // The SQL expression that names a row of the table by a 64-bit integer
    // that stays with the row: SQLite's rowid, or on PostgreSQL the table's
    // single-column integer primary key.  Empty when the table has none;
    // selections, updates and deletes of such a table are refused.
    virtual std::string row_key(const TableInfo& table) = 0;
    // A subquery of one column, the keys of a list bound as one text
    // parameter, and that text for keys.
    virtual std::string key_list_source() const = 0;
    virtual std::string key_list_text(std::span<const std::int64_t> keys) const = 0;
    // Whether the join query would search the table aliased b through an
    // index rather than scan it (SQLite follows the query's join order;
    // PostgreSQL plans both shapes alike and is left to choose).
    virtual bool searches_by_index(const std::string& query) = 0;

    virtual EngineVersion engine() = 0;

    // Transactions.  begin_transaction() starts one for writing (SQLite:
    // BEGIN IMMEDIATE); end_transaction() commits or rolls back.  A
    // statement that fails inside a transaction leaves it open and as it
    // was before that statement.
    virtual bool transaction_open() = 0;
    virtual bool begin_transaction() = 0;
    virtual bool end_transaction(bool commit) = 0;

    // The name writes to this database take turns under inside the server
    // (see write_lock.h), or "" when the database orders its writers
    // itself.
    virtual std::string write_turn_name() const = 0;
};

// Who connects: the user name of the connect request and the password the
// library sent with it (empty unless its environment file has one).
struct Login {
    std::string user;
    std::string password;
};

struct OpenRequest {
    std::string name; // the connect's file name, already checked as a plain name
    Login login;
    bool read_only = false;
    bool exclusive = false;
};

// Where the databases live.  Shared by every session; its functions may be
// called from several threads at once.
class Storage {
  public:
    virtual ~Storage() = default;
    // Opens the database a connect names for one client instance, or the
    // status that refuses it.  What the Database holds for its instance
    // (an exclusive claim, a database connection) goes when it goes.
    virtual std::variant<std::unique_ptr<Database>, Status> open(const OpenRequest& request) = 0;
    // For the server's own use (writing the sample, test set-up): opens the
    // database `name` for writing with the server's own rights, made new
    // and empty first when fresh is set.  nullptr with the reason in error.
    virtual std::unique_ptr<Database> administer(std::string_view name, bool fresh,
                                                 std::string& error) = 0;
};

// The storage error status of the database's last failure: 20017 with its
// message, 20028 for a conflict, 20029 when its connection is gone.
Status storage_error(const Database& db);
// The answer when db.table(name) found nothing: 20010, unless the lookup
// failed because the database connection is gone (20029).
Status no_table(const Database& db, std::string_view name);

} // namespace kls

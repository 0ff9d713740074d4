#include "sqlite_storage.h"

#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "files.h"
#include "server_errors.h"
#include "users.h"

namespace kls {

namespace {

// Statements kept for use again, latest last: each fetch prepares the
// statements of its batches, which would otherwise be compiled anew for
// every fetch of a cursor.
class StatementCache {
  public:
    StatementCache() = default;
    ~StatementCache() {
        for (const auto& kept : kept_)
            sqlite3_finalize(kept.second);
    }
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    // The statement kept for sql (now the caller's), or nullptr.
    sqlite3_stmt* take(std::string_view sql) {
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->first != sql) continue;
            sqlite3_stmt* stmt = it->second;
            kept_.erase(it);
            return stmt;
        }
        return nullptr;
    }
    void keep(std::string sql, sqlite3_stmt* stmt) {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        if (kept_.size() == limit) {
            sqlite3_finalize(kept_.front().second);
            kept_.erase(kept_.begin());
        }
        kept_.emplace_back(std::move(sql), stmt);
    }

  private:
    static constexpr std::size_t limit = 8;
    std::vector<std::pair<std::string, sqlite3_stmt*>> kept_;
};

class SqliteQuery final : public Query {
  public:
    explicit SqliteQuery(sqlite3_stmt* stmt) : stmt_(stmt) {}
    // A statement that goes back to cache when done.
    SqliteQuery(sqlite3_stmt* stmt, StatementCache& cache, std::string_view sql)
        : stmt_(stmt), cache_(&cache), sql_(sql) {}
    ~SqliteQuery() override {
        if (cache_ != nullptr)
            cache_->keep(std::move(sql_), stmt_);
        else
            sqlite3_finalize(stmt_);
    }
    SqliteQuery(const SqliteQuery&) = delete;
    SqliteQuery& operator=(const SqliteQuery&) = delete;

    void bind_integer(int index, std::int64_t v) override { sqlite3_bind_int64(stmt_, index, v); }
    void bind_real(int index, double v) override { sqlite3_bind_double(stmt_, index, v); }
    void bind_text(int index, std::string_view v) override {
        sqlite3_bind_text(stmt_, index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void bind_null(int index) override { sqlite3_bind_null(stmt_, index); }
    Step step() override {
        switch (sqlite3_step(stmt_)) {
        case SQLITE_ROW:
            return Step::row;
        case SQLITE_DONE:
            return Step::done;
        default:
            return Step::failed;
        }
    }
    void reset() override {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    bool is_null(int column) const override {
        return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
    }
    std::int64_t integer(int column) const override { return sqlite3_column_int64(stmt_, column); }
    double real(int column) const override { return sqlite3_column_double(stmt_, column); }
    std::string_view text(int column) const override {
        const auto* text = sqlite3_column_text(stmt_, column);
        if (text == nullptr) return {};
        return {reinterpret_cast<const char*>(text),
                static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
    }

  private:
    sqlite3_stmt* stmt_;
    StatementCache* cache_ = nullptr;
    std::string sql_;
};

// Who has which database file open, for the exclusive host option.
class Registry {
  public:
    // False when the file is held exclusively, or exclusive use is asked
    // while others have it open.
    bool acquire(const std::string& path, bool exclusive) {
        std::lock_guard lock(mutex_);
        Use& use = uses_[path];
        if (use.exclusive || (exclusive && use.users > 0)) return false;
        ++use.users;
        use.exclusive = exclusive;
        return true;
    }
    void release(const std::string& path, bool exclusive) {
        std::lock_guard lock(mutex_);
        auto it = uses_.find(path);
        if (it == uses_.end()) return;
        if (exclusive) it->second.exclusive = false;
        if (--it->second.users <= 0) uses_.erase(it);
    }

  private:
    struct Use {
        int users = 0;
        bool exclusive = false;
    };
    std::mutex mutex_;
    std::map<std::string, Use> uses_;
};

// A claim on a file in the registry, given back when it goes.
struct Claim {
    std::shared_ptr<Registry> registry;
    std::string path;
    bool exclusive = false;
};

class SqliteDatabase final : public Database {
  public:
    SqliteDatabase(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    ~SqliteDatabase() override {
        cache_.reset();
        sqlite3_close(db_);
        if (claim_.registry) claim_.registry->release(claim_.path, claim_.exclusive);
    }
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    void hold(Claim claim) { claim_ = std::move(claim); }

    Dialect dialect() const override { return Dialect::sqlite; }

    std::unique_ptr<Query> prepare(std::string_view sql) override {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) !=
                SQLITE_OK ||
            stmt == nullptr) {
            sqlite3_finalize(stmt);
            return nullptr;
        }
        return std::make_unique<SqliteQuery>(stmt);
    }

    std::unique_ptr<Query> prepare_bounded(std::string_view sql) override {
        if (sqlite3_stmt* kept = cache_->take(sql))
            return std::make_unique<SqliteQuery>(kept, *cache_, sql);
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                               SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK ||
            stmt == nullptr) {
            sqlite3_finalize(stmt);
            return nullptr;
        }
        return std::make_unique<SqliteQuery>(stmt, *cache_, sql);
    }

    bool exec(std::string_view sql) override {
        char* message = nullptr;
        const std::string text(sql);
        if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            exec_error_ = message ? message : "failed";
            sqlite3_free(message);
            return false;
        }
        exec_error_.clear();
        return true;
    }

    std::string last_error() const override {
        return exec_error_.empty() ? sqlite3_errmsg(db_) : exec_error_;
    }
    // SQLite's failures are all reported as storage errors; a busy
    // database is rare behind the server's write turns.
    StorageFault last_fault() const override { return StorageFault::other; }

    std::optional<TableInfo> table(std::string_view name) override {
        std::string found;
        for (const std::string& t : table_names())
            if (equal_ignoring_case(t, name)) found = t;
        if (found.empty()) return std::nullopt;

        TableInfo info;
        info.name = found;
        auto columns = prepare("SELECT name, type, \"notnull\", pk FROM pragma_table_info(?)");
        if (!columns) return std::nullopt;
        columns->bind_text(1, found);
        while (columns->step() == Query::Step::row) {
            ColumnInfo c;
            c.name = columns->text(0);
            classify_column(c, columns->text(1));
            c.nullable = columns->integer(2) == 0;
            c.primary_key = columns->integer(3) != 0;
            info.columns.push_back(std::move(c));
        }
        return info;
    }

    std::vector<std::string> table_names() override {
        std::vector<std::string> names;
        auto tables = prepare("SELECT name FROM sqlite_schema WHERE type='table' AND name NOT LIKE "
                              "'sqlite_%' ORDER BY name");
        while (tables && tables->step() == Query::Step::row)
            names.emplace_back(tables->text(0));
        return names;
    }

    std::int64_t row_count(const TableInfo& table) override {
        auto count = prepare("SELECT COUNT(*) FROM " + quote_identifier(table.name));
        if (!count || count->step() != Query::Step::row) return 0;
        return count->integer(0);
    }

    std::optional<std::vector<IndexInfo>> indexes(const TableInfo& table) override {
        auto list = prepare("SELECT name, \"unique\" FROM pragma_index_list(?) ORDER BY name");
        auto columns = prepare("SELECT name FROM pragma_index_info(?) ORDER BY seqno");
        if (!list || !columns) return std::nullopt;
        list->bind_text(1, table.name);
        std::vector<IndexInfo> found;
        while (list->step() == Query::Step::row) {
            IndexInfo index;
            index.name = list->text(0);
            index.unique = list->integer(1) != 0;
            columns->reset();
            columns->bind_text(1, index.name);
            while (columns->step() == Query::Step::row)
                index.columns.emplace_back(columns->is_null(0) ? "(expression)"
                                                               : std::string(columns->text(0)));
            found.push_back(std::move(index));
        }
        return found;
    }

    // A WITHOUT ROWID table has no rowid to find its rows by.
    std::string row_key(const TableInfo& table) override {
        auto list = prepare("SELECT wr FROM pragma_table_list WHERE name = ?");
        if (!list) return "rowid";
        list->bind_text(1, table.name);
        return list->step() == Query::Step::row && list->integer(0) != 0 ? "" : "rowid";
    }
    std::string key_list_source() const override { return "SELECT value FROM json_each(?)"; }
    std::string key_list_text(std::span<const std::int64_t> keys) const override {
        std::string text = "[";
        for (const std::int64_t key : keys) {
            if (text.size() > 1) text += ',';
            text += std::to_string(key);
        }
        return text + "]";
    }

    // Whether SQLite answers the query by searching the table aliased b
    // through an index (its rowid included) rather than by scanning it or
    // by building an index of its own over the whole table.
    bool searches_by_index(const std::string& query) override {
        auto plan = prepare("EXPLAIN QUERY PLAN " + query);
        if (!plan) return false;
        while (plan->step() == Query::Step::row) {
            const std::string_view detail = plan->text(3);
            if (detail.starts_with("SEARCH b USING ") &&
                detail.find("AUTOMATIC") == std::string_view::npos)
                return true;
        }
        return false;
    }

    EngineVersion engine() override {
        return {"SQLITE", SQLITE_VERSION_NUMBER, sqlite3_libversion()};
    }

    bool transaction_open() override { return sqlite3_get_autocommit(db_) == 0; }
    bool begin_transaction() override { return exec("BEGIN IMMEDIATE"); }
    bool end_transaction(bool commit) override { return exec(commit ? "COMMIT" : "ROLLBACK"); }

    std::string write_turn_name() const override { return path_; }

  private:
    sqlite3* db_;
    std::unique_ptr<StatementCache> cache_ = std::make_unique<StatementCache>();
    std::string path_;
    std::string exec_error_;
    Claim claim_;
};

// Opens path; nullptr with the reason in error when it cannot.
std::unique_ptr<SqliteDatabase> open_file(const std::string& path, int flags, std::string& error,
                                          int busy_timeout_ms) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    // Several clients share a file: a writer waits a little for another,
    // then fails with an error rather than hanging.
    sqlite3_busy_timeout(db, busy_timeout_ms);
    auto database = std::make_unique<SqliteDatabase>(db, path);
    // Files the clients write are in WAL mode, so readers go on while one
    // writes; a file being made keeps the default until a client opens it.
    if ((flags & (SQLITE_OPEN_READONLY | SQLITE_OPEN_CREATE)) == 0)
        database->exec("PRAGMA journal_mode=WAL");
    return database;
}

// No symbolic link is followed to the file (SQLite refuses a link anywhere
// in the path, which is why the server's folders are made real paths at
// start).  A read-only open never writes the database file; of a database
// in WAL mode SQLite still needs the -wal and -shm companions and makes
// them when they are missing (empty, and a 32 KiB index), and they stay
// after the close, since only a writer may checkpoint and remove them.
int open_flags(bool read_only) {
    return (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX |
           SQLITE_OPEN_NOFOLLOW;
}

class SqliteStorage final : public Storage {
  public:
    explicit SqliteStorage(SqliteOptions options)
        : options_(std::move(options)), registry_(std::make_shared<Registry>()) {}

    std::variant<std::unique_ptr<Database>, Status> open(const OpenRequest& request) override {
        if (Status refused = check_login(options_.users.get(), request.login); refused.error != 0)
            return refused;
        const std::string name = file_name(request.name);
        const std::string path = options_.data_dir + "/" + name;
        switch (check_database_file(path)) {
        case DatabaseFile::ok:
            break;
        case DatabaseFile::missing:
            return error_status(err_no_database, name);
        case DatabaseFile::link:
            return error_status(err_bad_name, name);
        case DatabaseFile::not_database:
            return error_status(err_not_database, name);
        }
        if (!registry_->acquire(path, request.exclusive)) return error_status(err_exclusive, name);
        Claim claim{registry_, path, request.exclusive};
        std::string why;
        auto db = open_file(path, open_flags(request.read_only), why, options_.busy_timeout_ms);
        if (!db) {
            registry_->release(path, request.exclusive);
            return error_status(err_no_database, name);
        }
        db->hold(std::move(claim));
        return std::unique_ptr<Database>(std::move(db));
    }

    std::unique_ptr<Database> administer(std::string_view name, bool fresh,
                                         std::string& error) override {
        const std::string path = options_.data_dir + "/" + file_name(name);
        if (fresh) {
            std::error_code ignored;
            for (const char* suffix : {"", "-wal", "-shm", "-journal"})
                std::filesystem::remove(path + suffix, ignored);
        }
        return open_file(path, SQLITE_OPEN_READWRITE | (fresh ? SQLITE_OPEN_CREATE : 0), error,
                         options_.busy_timeout_ms);
    }

  private:
    // A name without an extension is a .db file.
    static std::string file_name(std::string_view name) {
        std::string file(name);
        if (file.find('.') == std::string::npos) file += ".db";
        return file;
    }

    SqliteOptions options_;
    std::shared_ptr<Registry> registry_;
};

} // namespace

std::unique_ptr<Storage> make_sqlite_storage(SqliteOptions options) {
    return std::make_unique<SqliteStorage>(std::move(options));
}

std::unique_ptr<Database> open_sqlite_file(const std::string& path, bool read_only,
                                           std::string& error) {
    return open_file(path, open_flags(read_only), error, 2000);
}

} // namespace kls

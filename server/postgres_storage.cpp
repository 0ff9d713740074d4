// The PostgreSQL storage.
//
// Names.  A connect's file name, without a trailing ".db" (any case) and
// folded to lower case, names a schema of the DSN's database; a name of
// more than 63 bytes (PostgreSQL's limit) or beginning with "pg_" (the
// prefix PostgreSQL keeps for its own schemas) is refused as a name the
// server does not allow.
//
// Connections.  Every open is a new PostgreSQL connection, logged in with
// the client's user name and password, so PostgreSQL's roles and grants
// decide what each application may do; it never falls back to the DSN's
// user.  A client that sent no password is not let in through a password
// found elsewhere (the DSN's, the server's password file or environment):
// when PostgreSQL asked for a password and the client had none, the
// connection is closed and the login refused.  Each connection searches
// only its schema and shows dates as YYYY-MM-DD.  A lost connection is
// never made again behind the client's back, since that would drop its
// transaction and its locks: every later operation of the instance fails
// with StorageFault::connection.
//
// Lock waits.  A statement waits for another connection's row locks at
// most the storage's lock wait, then fails as a conflict the client may
// retry.  Without the limit, two instances of one session could wait for
// each other for ever: the session serves one request at a time, so the
// instance holding the lock would never get to commit.
//
// Access modes.  A read-only instance's connection makes every transaction
// read-only.  Every instance holds a session-level advisory lock on (the
// server's lock class, hash of the schema name): shared for the others,
// exclusive for an exclusive instance, tried without waiting.  PostgreSQL
// releases it with the connection, also when a server dies, and it keeps
// instances of several servers on one database apart.  Two schemas whose
// names hash alike share a lock; an exclusive instance of one then keeps
// the other's clients out too.
//
// Statements.  '?' parameters are renumbered $1, $2 ...; every value goes
// as text of unknown type, so PostgreSQL reads it as the type the
// statement's context asks for (integers in decimal, reals in the shortest
// form that reads back exactly).  Rows arrive one at a time (libpq's single-row
// mode), so no result is ever held whole.  A connection runs one statement
// at a time: a statement that starts while another query still streams
// first reads that query's remaining results and throws them away.  The
// other query keeps its current row; stepping it afterwards gives done
// when it had no more rows, and otherwise fails (its rows were lost).
//
// Transactions.  Inside a transaction each statement runs under a
// savepoint; when it fails, the transaction is rolled back to the
// savepoint, so the client's transaction stays open and as it was before
// that statement.  The savepoint of one statement is released when the
// next starts (one exchange for both), and the transaction's end releases
// the last.
#include "postgres_storage.h"

#include <libpq-fe.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "criteria.h"
#include "server_errors.h"

namespace kls {

namespace {

// The advisory lock class of klserver's instances ("KLSR").
constexpr int lock_class = 0x4B4C5352;
constexpr std::size_t max_schema_bytes = 63;

struct ResultFree {
    void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

bool result_ok(const PGresult* r) {
    const ExecStatusType s = PQresultStatus(r);
    return r && (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK || s == PGRES_EMPTY_QUERY ||
                 s == PGRES_SINGLE_TUPLE);
}

std::string lower_text(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// One line of a libpq message: the part after its last "FATAL:  " or
// "ERROR:  ", else after the "connection to server ... failed: " that
// libpq puts in front, up to the line's end.
std::string reason_line(std::string_view message) {
    std::size_t from = 0;
    for (std::string_view mark : {"FATAL:  ", "ERROR:  ", "failed: "}) {
        const std::size_t at = message.rfind(mark);
        if (at != std::string_view::npos) {
            from = at + mark.size();
            break;
        }
    }
    std::string_view line = message.substr(from);
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.remove_suffix(1);
    return line.empty() ? std::string("no message from the database") : std::string(line);
}

// The schema a connect's file name names, or nullopt when the name is not
// allowed.
std::optional<std::string> schema_of(std::string_view name) {
    if (name.size() >= 3 && equal_ignoring_case(name.substr(name.size() - 3), ".db"))
        name.remove_suffix(3);
    std::string schema = lower_text(name);
    if (schema.empty() || schema.size() > max_schema_bytes || schema.rfind("pg_", 0) == 0)
        return std::nullopt;
    return schema;
}

// A connection with the DSN, as the login's user when there is one (else
// as the DSN's own user).  The DSN's settings come after the defaults
// (a 10 second connect timeout, the application name "klserver") and so
// override them; the login comes after the DSN and overrides its user and
// password.
PGconn* connect_with(const std::string& dsn, const Login* login) {
    std::vector<const char*> keys = {"connect_timeout", "fallback_application_name", "dbname"};
    std::vector<const char*> values = {"10", "klserver", dsn.c_str()};
    if (login) {
        keys.push_back("user");
        values.push_back(login->user.c_str());
        // An empty value counts as not given: libpq would look for a
        // password elsewhere, which the caller checks for afterwards.
        keys.push_back("password");
        values.push_back(login->password.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
    // PostgreSQL's notices (a DROP ... IF EXISTS that found nothing, say)
    // are not the server's to print.
    if (conn)
        PQsetNoticeProcessor(
            conn, [](void*, const char*) {}, nullptr);
    return conn;
}

// Whether a failed connection was refused for who tried to log in (rather
// than the database being out of reach).  libpq gives no SQLSTATE for a
// failed connection, so this reads PostgreSQL's message.
bool login_refused(PGconn* conn) {
    if (PQconnectionNeedsPassword(conn)) return true;
    const std::string message = PQerrorMessage(conn);
    for (std::string_view mark :
         {"authentication failed", "no password supplied", "pg_hba.conf", "role \"",
          "not permitted to log in", "permission denied for database"})
        if (message.find(mark) != std::string::npos) return true;
    return false;
}

// A real as an integer: truncated, clamped to the 64-bit range, NaN as 0.
std::int64_t integer_of_real(double d) {
    if (std::isnan(d)) return 0;
    constexpr double limit = 9223372036854775807.0;
    if (d >= limit) return std::numeric_limits<std::int64_t>::max();
    if (d <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

std::int64_t integer_of(std::string_view text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    std::int64_t v = 0;
    if (const auto [at, ec] = std::from_chars(begin, end, v); ec == std::errc() && at == end)
        return v;
    if (text == "t") return 1;
    double d = 0;
    if (const auto [at, ec] = std::from_chars(begin, end, d); ec != std::errc() || at != end)
        return 0;
    return integer_of_real(d);
}

// The declared type a PostgreSQL type (as format_type() writes it) reads
// as: character(n) as CHAR(n), character varying(n) as VARCHAR(n), the
// integer types as INTEGER, the floating and numeric types as FLOAT, date
// as DATE, and every other type (text, a varchar without a length,
// boolean, timestamps ...) as VARCHAR(32) holding PostgreSQL's text form.
std::string declared_word(std::string_view type) {
    const auto starts = [&](std::string_view word) { return type.substr(0, word.size()) == word; };
    if (starts("character varying(")) return "VARCHAR" + std::string(type.substr(17));
    if (starts("character(")) return "CHAR" + std::string(type.substr(9));
    if (type == "integer" || type == "smallint" || type == "bigint") return "INTEGER";
    if (type == "double precision" || type == "real" || type == "numeric" || starts("numeric("))
        return "FLOAT";
    if (type == "date") return "DATE";
    return "VARCHAR(32)";
}

// The schema's own tables: ordinary and partitioned ones, not the
// partitions of a partitioned table.
constexpr const char* own_tables = "c.relnamespace = (SELECT n.oid FROM pg_catalog.pg_namespace n "
                                   "WHERE n.nspname = pg_catalog.current_schema()) "
                                   "AND c.relkind IN ('r', 'p') AND NOT c.relispartition";

struct Failure {
    StorageFault fault = StorageFault::none;
    std::string message;
    std::string state; // the SQLSTATE, when PostgreSQL gave one
};

// Type OIDs of the results read in binary form (pg_type's fixed OIDs).
constexpr Oid oid_int8 = 20, oid_int2 = 21, oid_int4 = 23, oid_text = 25, oid_float4 = 700,
              oid_float8 = 701, oid_bpchar = 1042, oid_varchar = 1043, oid_date = 1082;

bool binary_type(Oid type) {
    switch (type) {
    case oid_int8:
    case oid_int2:
    case oid_int4:
    case oid_text:
    case oid_float4:
    case oid_float8:
    case oid_bpchar:
    case oid_varchar:
    case oid_date:
        return true;
    default:
        return false;
    }
}

// A bounded statement of the connection, prepared once under its name.
// Its rows come in binary form when every column is of a type read here
// (integers, floats, dates, texts), else as text.
struct Prepared {
    std::string name;
    bool binary = false;
    std::vector<Oid> types;
};
// A scan reads its rows in chunks of this many.
constexpr int scan_chunk = 4096;
constexpr const char* scan_fetch = "FETCH 4096 FROM klserver_scan";
// The connection keeps at most this many; past it they all go and are
// prepared again as used.
constexpr std::size_t max_prepared = 64;

class PgQuery;

// The PostgreSQL connection of one Database, shared with its queries.
class Link {
  public:
    explicit Link(PGconn* conn) : conn_(conn) {}
    ~Link() { close(); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    PGconn* get() const { return conn_; }
    bool dead() const { return dead_; }
    const Failure& failure() const { return failure_; }
    void set_failure(Failure f) {
        if (!dead_) failure_ = std::move(f);
    }

    void close() {
        if (conn_) PQfinish(conn_);
        conn_ = nullptr;
        streaming_ = nullptr;
        if (!dead_) failure_ = {StorageFault::connection, "the database connection is closed", {}};
        dead_ = true;
    }

    // The failure a result (or, without one, the connection) reports.
    // Marks the connection dead when it is gone.
    Failure failure_of(const PGresult* r) {
        if (dead_) return failure_;
        Failure f;
        const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        f.message = primary ? std::string(primary)
                            : reason_line(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
        const char* code = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        const std::string_view state = code ? code : "";
        f.state = state;
        // Class 08 and an ended server process (57P01 to 57P03) lose the
        // connection even before libpq notices.
        if (PQstatus(conn_) == CONNECTION_BAD || state.substr(0, 2) == "08" || state == "57P01" ||
            state == "57P02" || state == "57P03") {
            f.fault = StorageFault::connection;
            failure_ = f;
            dead_ = true;
        } else if (state == "40001" || state == "40P01" || state == "55P03") {
            f.fault = StorageFault::conflict;
        } else {
            f.fault = StorageFault::other;
        }
        return f;
    }
    void fail(const PGresult* r) { set_failure(failure_of(r)); }

    // Readies the connection for a statement: the streaming query's
    // results read to their end, and inside a transaction a savepoint for
    // the statement.  false (with the failure) when it cannot run.
    bool begin_statement() {
        finish_streaming();
        if (dead_) return false;
        failure_ = {};
        const PGTransactionStatusType status = PQtransactionStatus(conn_);
        in_transaction_ = status == PQTRANS_INTRANS;
        if (!in_transaction_) {
            savepoint_open_ = status == PQTRANS_INERROR && savepoint_open_;
            return true;
        }
        Result r(PQexec(conn_, savepoint_open_ ? "RELEASE SAVEPOINT klserver_statement; "
                                                 "SAVEPOINT klserver_statement"
                                               : "SAVEPOINT klserver_statement"));
        if (!result_ok(r.get())) {
            fail(r.get());
            end_statement();
            return false;
        }
        savepoint_open_ = true;
        return true;
    }

    // After a statement: a failed one inside a transaction rolled back to
    // its savepoint.
    void end_statement() {
        if (dead_) return;
        if (PQstatus(conn_) == CONNECTION_BAD) {
            failure_ = {StorageFault::connection, reason_line(PQerrorMessage(conn_)), {}};
            dead_ = true;
            return;
        }
        switch (PQtransactionStatus(conn_)) {
        case PQTRANS_IDLE:
            savepoint_open_ = false;
            break;
        case PQTRANS_INERROR:
            if (savepoint_open_) {
                Result r(PQexec(conn_, "ROLLBACK TO SAVEPOINT klserver_statement"));
                if (!result_ok(r.get())) {
                    const Failure f = failure_of(r.get());
                    if (f.fault == StorageFault::connection) failure_ = f;
                }
            }
            break;
        default:
            break;
        }
    }

    // Sends a query whose results q reads one row at a time, or whole.
    bool start(PgQuery* q, const std::string& sql, const std::vector<const char*>& values,
               bool single_row) {
        if (!begin_statement()) return false;
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0)) {
            fail(nullptr);
            end_statement();
            return false;
        }
        if (single_row) PQsetSingleRowMode(conn_);
        streaming_ = q;
        return true;
    }
    // Sends a bounded statement prepared under a name (prepared now, the
    // first time on this connection), its result read whole; *prepared
    // tells the form of its rows.
    bool start_prepared(PgQuery* q, const std::string& sql, const std::vector<const char*>& values,
                        std::shared_ptr<const Prepared>* prepared) {
        if (!begin_statement()) return false;
        *prepared = prepare(sql, static_cast<int>(values.size()));
        if (!*prepared ||
            !PQsendQueryPrepared(conn_, (*prepared)->name.c_str(), static_cast<int>(values.size()),
                                 values.data(), nullptr, nullptr, (*prepared)->binary ? 1 : 0)) {
            if (*prepared) fail(nullptr);
            end_statement();
            return false;
        }
        streaming_ = q;
        return true;
    }
    // Drops a prepared statement that can no longer run as prepared (its
    // table changed the types of its columns): the next use prepares it
    // again.
    void forget(const std::string& sql) {
        const auto at = prepared_.find(sql);
        if (at == prepared_.end() || dead_) return;
        Result r(PQexec(conn_, ("DEALLOCATE " + at->second->name).c_str()));
        prepared_.erase(at);
    }
    // Opens a scan: the statement as the cursor klserver_scan, inside the
    // client's transaction (under the statement's savepoint) or else in a
    // transaction of its own (*own set), which end_scan() ends.  types:
    // its columns' types.
    bool start_scan(PgQuery* q, const std::string& sql, const std::vector<const char*>& values,
                    bool* own, std::vector<Oid>* types) {
        if (!begin_statement()) return false;
        *own = !in_transaction_;
        if (*own) {
            Result r(PQexec(conn_, "BEGIN"));
            if (!result_ok(r.get())) {
                fail(r.get());
                end_statement();
                return false;
            }
        }
        Result r(PQexecParams(conn_, ("DECLARE klserver_scan NO SCROLL CURSOR FOR " + sql).c_str(),
                              static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                              nullptr, 0));
        Result d;
        if (result_ok(r.get())) d.reset(PQdescribePortal(conn_, "klserver_scan"));
        if (!result_ok(r.get()) || !result_ok(d.get())) {
            fail(result_ok(r.get()) ? d.get() : r.get());
            end_scan(*own);
            return false;
        }
        types->clear();
        for (int i = 0; i < PQnfields(d.get()); ++i)
            types->push_back(PQftype(d.get(), i));
        streaming_ = q;
        return true;
    }
    // The scan's next rows, at most scan_chunk of them.
    Result fetch_scan(bool binary) {
        return Result(
            PQexecParams(conn_, scan_fetch, 0, nullptr, nullptr, nullptr, nullptr, binary ? 1 : 0));
    }
    // Ends a scan: its cursor closed, and its own transaction committed
    // (or rolled back when the scan failed).
    void end_scan(bool own) {
        streaming_ = nullptr;
        if (dead_) return;
        const PGTransactionStatusType status = PQtransactionStatus(conn_);
        if (status == PQTRANS_INTRANS) {
            Result r(PQexec(conn_, own ? "CLOSE klserver_scan; COMMIT" : "CLOSE klserver_scan"));
            if (!result_ok(r.get())) fail(r.get());
        } else if (status == PQTRANS_INERROR && own) {
            Result r(PQexec(conn_, "ROLLBACK"));
        }
        end_statement();
    }
    // Called by the streaming query once its results are read to the end.
    void streaming_ended() { streaming_ = nullptr; }
    PgQuery* streaming() const { return streaming_; }
    void finish_streaming();

    // Runs a statement whole (a small result, such as the catalogue's),
    // under the statement's savepoint.  nullptr on failure.
    Result run(const std::string& sql, const std::vector<const char*>& values = {}) {
        if (!begin_statement()) return nullptr;
        Result r(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                              values.data(), nullptr, nullptr, 0));
        const bool ok = result_ok(r.get());
        if (!ok) fail(r.get());
        end_statement();
        if (!ok || dead_) return nullptr;
        return r;
    }

    // Runs statements without parameters (several, separated by ';'),
    // under one savepoint; rows they give are read one at a time and
    // dropped.
    bool exec(const std::string& sql) {
        if (!begin_statement()) return false;
        bool ok = PQsendQuery(conn_, sql.c_str()) == 1;
        if (!ok) fail(nullptr);
        PQsetSingleRowMode(conn_);
        while (Result r{PQgetResult(conn_)}) {
            if (ok && !result_ok(r.get())) {
                fail(r.get());
                ok = false;
            }
        }
        end_statement();
        return ok && !dead_;
    }

    // Whether a transaction is open: while a query streams, as it was when
    // the query started.
    bool transaction_open() const {
        if (dead_) return false;
        if (streaming_) return in_transaction_;
        const PGTransactionStatusType status = PQtransactionStatus(conn_);
        return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
    }

    // BEGIN, COMMIT or ROLLBACK, outside any savepoint.
    bool transaction_command(const char* command) {
        finish_streaming();
        if (dead_) return false;
        failure_ = {};
        Result r(PQexec(conn_, command));
        savepoint_open_ = false;
        if (!result_ok(r.get())) {
            fail(r.get());
            return false;
        }
        // COMMIT of a transaction that failed rolls it back instead.
        if (std::string_view(command) == "COMMIT" &&
            std::string_view(PQcmdStatus(r.get())) == "ROLLBACK") {
            failure_ = {StorageFault::other, "the transaction was rolled back", {}};
            return false;
        }
        return true;
    }

  private:
    // The prepared statement of sql, prepared now when it is not yet;
    // nullptr (with the failure) when it does not prepare.
    std::shared_ptr<const Prepared> prepare(const std::string& sql, int parameters) {
        if (const auto at = prepared_.find(sql); at != prepared_.end()) return at->second;
        if (prepared_.size() >= max_prepared) {
            Result r(PQexec(conn_, "DEALLOCATE ALL"));
            if (!result_ok(r.get())) {
                fail(r.get());
                return nullptr;
            }
            prepared_.clear();
        }
        auto p = std::make_shared<Prepared>();
        p->name = "klserver_" + std::to_string(++prepared_names_);
        Result r(PQprepare(conn_, p->name.c_str(), sql.c_str(), parameters, nullptr));
        if (!result_ok(r.get())) {
            fail(r.get());
            return nullptr;
        }
        Result d(PQdescribePrepared(conn_, p->name.c_str()));
        if (!result_ok(d.get())) {
            fail(d.get());
            return nullptr;
        }
        p->binary = true;
        for (int i = 0; i < PQnfields(d.get()); ++i) {
            p->types.push_back(PQftype(d.get(), i));
            p->binary = p->binary && binary_type(p->types.back());
        }
        prepared_.emplace(sql, p);
        return p;
    }

    PGconn* conn_;
    // Shared with the queries whose results they describe, which may
    // outlive their place here.
    std::unordered_map<std::string, std::shared_ptr<const Prepared>> prepared_;
    std::uint64_t prepared_names_ = 0;
    PgQuery* streaming_ = nullptr;
    bool in_transaction_ = false;
    bool savepoint_open_ = false;
    bool dead_ = false;
    Failure failure_;
};

class PgQuery final : public Query {
  public:
    // How the rows come: a row at a time (streamed); whole, for
    // statements whose rows are few and bounded (prepared once per
    // connection); or in chunks through a cursor (scan), for statements
    // whose rows the caller reads to the end within one request.
    enum class Kind { streamed, whole, scan };
    PgQuery(std::shared_ptr<Link> link, std::string sql, int parameters, Kind kind)
        : link_(std::move(link)), sql_(std::move(sql)),
          values_(static_cast<std::size_t>(parameters)), whole_(kind == Kind::whole),
          scan_(kind == Kind::scan) {}
    ~PgQuery() override {
        if (link_->streaming() == this) read_to_end();
    }

    void bind_integer(int index, std::int64_t v) override { bind(index, std::to_string(v)); }
    // The shortest text that reads back as the same double: exact for a
    // double precision column, and for a text column the number as it is
    // usually written (0.1, not 0.10000000000000001).
    void bind_real(int index, double v) override {
        char text[32];
        const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
        bind(index, std::string(text, ec == std::errc() ? end : text));
    }
    void bind_text(int index, std::string_view v) override { bind(index, std::string(v)); }
    void bind_null(int index) override {
        if (valid(index)) values_[static_cast<std::size_t>(index - 1)].reset();
    }

    // A whole statement goes to the database now; its result is taken at
    // the first step.
    void send() override {
        if (whole_ && state_ == State::ready) start();
    }

    Step step() override {
        if (state_ == State::ready && !start()) return Step::failed;
        if (state_ == State::sent) collect();
        switch (state_) {
        case State::whole:
            if (++row_at_ < PQntuples(row_.get())) return Step::row;
            row_.reset();
            state_ = State::done;
            break;
        case State::scanning:
            if (row_ && ++row_at_ < PQntuples(row_.get())) return Step::row;
            if (!row_ || PQntuples(row_.get()) == scan_chunk) {
                row_ = link_->fetch_scan(binary());
                row_at_ = 0;
                if (!row_ || PQresultStatus(row_.get()) != PGRES_TUPLES_OK) {
                    failure_ = link_->failure_of(row_.get());
                    row_.reset();
                    link_->end_scan(own_transaction_);
                    if (link_->dead()) failure_ = link_->failure();
                    state_ = State::failed;
                    break;
                }
                if (PQntuples(row_.get()) > 0) return Step::row;
            }
            row_.reset();
            end_scan(false);
            break;
        case State::streaming: {
            row_.reset();
            Result r(PQgetResult(link_->get()));
            if (r && PQresultStatus(r.get()) == PGRES_SINGLE_TUPLE) {
                row_ = std::move(r);
                return Step::row;
            }
            finish(std::move(r), false);
            break;
        }
        default:
            break;
        }
        if (state_ == State::done) return Step::done;
        link_->set_failure(failure_);
        return Step::failed;
    }

    void reset() override {
        if (link_->streaming() == this) read_to_end();
        row_.reset();
        for (auto& v : values_)
            v.reset();
        state_ = State::ready;
    }

    // Reads the rest of the results for the next statement of the
    // connection; the current row stays.
    void read_to_end() {
        if (state_ == State::sent) return collect();
        if (state_ == State::scanning)
            return end_scan(row_ && (row_at_ + 1 < PQntuples(row_.get()) ||
                                     PQntuples(row_.get()) == scan_chunk));
        Result r(PQgetResult(link_->get()));
        const bool more = r && PQresultStatus(r.get()) == PGRES_SINGLE_TUPLE;
        finish(std::move(r), more);
    }

    bool is_null(int column) const override {
        return !has(column) || PQgetisnull(row_.get(), row_at_, column);
    }
    // A value in binary form reads as its text form would.
    std::int64_t integer(int column) const override {
        if (!has(column)) return 0;
        if (binary()) {
            if (is_null(column)) return 0;
            switch (type(column)) {
            case oid_int2:
            case oid_int4:
            case oid_int8:
                return binary_integer(column);
            case oid_float4:
            case oid_float8:
                return integer_of_real(binary_real(column));
            default:
                break;
            }
        }
        return integer_of(text(column));
    }
    double real(int column) const override {
        if (binary() && has(column) && !is_null(column)) {
            switch (type(column)) {
            case oid_int2:
            case oid_int4:
            case oid_int8:
                return static_cast<double>(binary_integer(column));
            case oid_float4:
            case oid_float8:
                return binary_real(column);
            default:
                break;
            }
        }
        const std::string_view t = text(column);
        double v = 0;
        std::from_chars(t.data(), t.data() + t.size(), v);
        return v;
    }
    std::string_view text(int column) const override {
        if (!has(column)) return {};
        const std::string_view raw(
            PQgetvalue(row_.get(), row_at_, column),
            static_cast<std::size_t>(PQgetlength(row_.get(), row_at_, column)));
        if (!binary() || PQgetisnull(row_.get(), row_at_, column)) return raw;
        char* const end = text_ + sizeof text_;
        switch (type(column)) {
        case oid_int2:
        case oid_int4:
        case oid_int8:
            return {text_, static_cast<std::size_t>(
                               std::to_chars(text_, end, binary_integer(column)).ptr - text_)};
        case oid_float4:
        case oid_float8:
            return real_text(binary_real(column), type(column) == oid_float4);
        case oid_date:
            return date_text(raw.size() == 4 ? static_cast<std::int32_t>(big_endian(raw)) : 0);
        default:
            return raw;
        }
    }

  private:
    bool binary() const { return types_ != nullptr; }
    Oid type(int column) const { return (*types_)[static_cast<std::size_t>(column)]; }
    // Ends a scan; more_rows as finish().
    void end_scan(bool more_rows) {
        link_->end_scan(own_transaction_);
        settle(std::nullopt, more_rows);
    }

    // The query's end state: the link's or the statement's failure first,
    // then rows left unread (another query cut this one short), else done.
    void settle(std::optional<Failure> failed, bool more_rows) {
        if (link_->dead()) failed = link_->failure();
        if (failed) {
            failure_ = *failed;
            state_ = State::failed;
        } else if (more_rows) {
            failure_ = {StorageFault::other, "query cut short by another query", {}};
            state_ = State::failed;
        } else {
            state_ = State::done;
        }
    }
    static std::uint64_t big_endian(std::string_view raw) {
        std::uint64_t v = 0;
        for (const char c : raw)
            v = v << 8 | static_cast<unsigned char>(c);
        return v;
    }
    std::int64_t binary_integer(int column) const {
        const std::string_view raw(
            PQgetvalue(row_.get(), row_at_, column),
            static_cast<std::size_t>(PQgetlength(row_.get(), row_at_, column)));
        const std::uint64_t v = big_endian(raw);
        switch (raw.size()) {
        case 2:
            return static_cast<std::int16_t>(v);
        case 4:
            return static_cast<std::int32_t>(v);
        default:
            return static_cast<std::int64_t>(v);
        }
    }
    double binary_real(int column) const {
        const std::string_view raw(
            PQgetvalue(row_.get(), row_at_, column),
            static_cast<std::size_t>(PQgetlength(row_.get(), row_at_, column)));
        if (raw.size() == 4)
            return std::bit_cast<float>(static_cast<std::uint32_t>(big_endian(raw)));
        return std::bit_cast<double>(big_endian(raw));
    }
    // PostgreSQL's text of a float: the shortest that reads back exactly.
    std::string_view real_text(double v, bool single) const {
        if (std::isnan(v)) return "NaN";
        if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
        char* const end = text_ + sizeof text_;
        const auto r = single ? std::to_chars(text_, end, static_cast<float>(v))
                              : std::to_chars(text_, end, v);
        return {text_, static_cast<std::size_t>(r.ptr - text_)};
    }
    // A date (days since 2000-01-01) as PostgreSQL writes it in ISO style.
    std::string_view date_text(std::int32_t days) const {
        if (days == std::numeric_limits<std::int32_t>::max()) return "infinity";
        if (days == std::numeric_limits<std::int32_t>::min()) return "-infinity";
        // Days since 0000-03-01 (2000-01-01 is 730,425 days later), in
        // 400-year eras of the proleptic Gregorian calendar.
        const std::int64_t z = std::int64_t{days} + 10957 + 719468;
        const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
        const std::int64_t doe = z - era * 146097;
        const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        const std::int64_t mp = (5 * doy + 2) / 153;
        const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
        const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
        std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
        const bool bc = year <= 0;
        if (bc) year = 1 - year;
        // Written by hand: this runs for every date fetched.
        char* at = text_;
        const auto two = [&at](std::int64_t v) {
            *at++ = static_cast<char>('0' + v / 10);
            *at++ = static_cast<char>('0' + v % 10);
        };
        if (year < 1000) {
            two(year / 100);
            two(year % 100);
        } else {
            at = std::to_chars(at, text_ + 16, year).ptr;
        }
        *at++ = '-';
        two(month);
        *at++ = '-';
        two(day);
        if (bc) at = std::copy_n(" BC", 3, at);
        return {text_, static_cast<std::size_t>(at - text_)};
    }

    // sent: a whole statement sent, its result not taken yet.
    enum class State { ready, streaming, sent, whole, scanning, done, failed };

    // Sends the statement: a whole one is read at once, else its rows are
    // streamed.  False (failed) when it could not run.
    bool start() {
        row_.reset();
        row_at_ = 0;
        prepared_.reset();
        types_ = nullptr;
        std::vector<const char*> values;
        values.reserve(values_.size());
        for (const auto& v : values_)
            values.push_back(v ? v->c_str() : nullptr);
        const bool started =
            whole_  ? link_->start_prepared(this, sql_, values, &prepared_)
            : scan_ ? link_->start_scan(this, sql_, values, &own_transaction_, &scan_types_)
                    : link_->start(this, sql_, values, true);
        if (!started) {
            failure_ = link_->failure();
            state_ = State::failed;
            return false;
        }
        if (prepared_ && prepared_->binary) types_ = &prepared_->types;
        if (scan_ && std::all_of(scan_types_.begin(), scan_types_.end(), binary_type))
            types_ = &scan_types_;
        state_ = whole_ ? State::sent : scan_ ? State::scanning : State::streaming;
        return true;
    }

    // Takes the whole result of a statement sent, and ends the statement.
    // A prepared statement whose table has changed its columns' types
    // since fails as prepared (0A000): it is prepared again and run once
    // more.
    void collect(bool again = true) {
        Result r(PQgetResult(link_->get()));
        const bool rows = r && PQresultStatus(r.get()) == PGRES_TUPLES_OK;
        finish(rows ? Result() : std::move(r), false);
        if (state_ == State::failed && failure_.state == "0A000" && again) {
            link_->forget(sql_);
            if (start()) collect(false);
            return;
        }
        if (state_ == State::done && rows) {
            row_ = std::move(r);
            row_at_ = -1;
            state_ = State::whole;
        }
    }

    bool valid(int index) const {
        return index >= 1 && static_cast<std::size_t>(index) <= values_.size();
    }
    void bind(int index, std::string v) {
        if (valid(index)) values_[static_cast<std::size_t>(index - 1)] = std::move(v);
    }
    bool has(int column) const {
        return row_ && column >= 0 && column < PQnfields(row_.get()) &&
               row_at_ < PQntuples(row_.get());
    }

    // Ends the statement: last is the first result after the rows read,
    // the rest are read here.  Rows found now (more_rows) are lost.
    void finish(Result last, bool more_rows) {
        std::optional<Failure> failed;
        const auto take = [&](const PGresult* r) {
            if (PQresultStatus(r) == PGRES_SINGLE_TUPLE)
                more_rows = true;
            else if (!result_ok(r) && !failed)
                failed = link_->failure_of(r);
        };
        if (last) take(last.get());
        last.reset();
        while (Result r{PQgetResult(link_->get())})
            take(r.get());
        link_->streaming_ended();
        link_->end_statement();
        settle(failed, more_rows);
    }

    std::shared_ptr<Link> link_;
    std::string sql_;
    std::vector<std::optional<std::string>> values_;
    bool whole_;
    bool scan_;
    // How a whole statement's rows come, set when it starts.
    std::shared_ptr<const Prepared> prepared_;
    // A scan's column types, and whether it began its own transaction.
    std::vector<Oid> scan_types_;
    bool own_transaction_ = false;
    // The column types of rows in binary form, else nullptr (text form).
    const std::vector<Oid>* types_ = nullptr;
    // A value in binary form written as text.
    mutable char text_[40];
    State state_ = State::ready;
    // The current row (streaming), or the whole result and the row of it.
    Result row_;
    int row_at_ = 0;
    Failure failure_;
};

void Link::finish_streaming() {
    if (streaming_) streaming_->read_to_end();
    streaming_ = nullptr;
}

// The SQL with each '?' outside quoted texts and identifiers written as
// $1, $2 ...; count is how many.
std::string numbered_parameters(std::string_view sql, int& count) {
    std::string out;
    out.reserve(sql.size() + 16);
    char quote = 0;
    count = 0;
    for (char c : sql) {
        if (quote) {
            if (c == quote) quote = 0; // a doubled quote closes and opens again
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '?') {
            out += '$';
            out += std::to_string(++count);
            continue;
        }
        out += c;
    }
    return out;
}

class PgDatabase final : public Database {
  public:
    explicit PgDatabase(PGconn* conn) : link_(std::make_shared<Link>(conn)) {}
    ~PgDatabase() override { link_->close(); }

    Dialect dialect() const override { return Dialect::postgres; }

    std::unique_ptr<Query> prepare(std::string_view sql) override {
        if (link_->dead()) return nullptr;
        int count = 0;
        std::string numbered = numbered_parameters(sql, count);
        return std::make_unique<PgQuery>(link_, std::move(numbered), count,
                                         PgQuery::Kind::streamed);
    }
    std::unique_ptr<Query> prepare_bounded(std::string_view sql) override {
        if (link_->dead()) return nullptr;
        int count = 0;
        std::string numbered = numbered_parameters(sql, count);
        return std::make_unique<PgQuery>(link_, std::move(numbered), count, PgQuery::Kind::whole);
    }
    std::unique_ptr<Query> prepare_scan(std::string_view sql) override {
        if (link_->dead()) return nullptr;
        int count = 0;
        std::string numbered = numbered_parameters(sql, count);
        return std::make_unique<PgQuery>(link_, std::move(numbered), count, PgQuery::Kind::scan);
    }

    bool exec(std::string_view sql) override { return link_->exec(std::string(sql)); }

    std::string last_error() const override { return link_->failure().message; }
    StorageFault last_fault() const override { return link_->failure().fault; }

    std::optional<TableInfo> table(std::string_view name) override {
        // The exact name first, else the first that differs in case only
        // (in the "C" collation only ASCII letters change case).
        const std::string sql =
            std::string("SELECT c.relname, a.attname, "
                        "pg_catalog.format_type(a.atttypid, a.atttypmod), a.attnotnull, "
                        "COALESCE(a.attnum = ANY (i.indkey), false) "
                        "FROM pg_catalog.pg_class c "
                        "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid "
                        "AND a.attnum > 0 AND NOT a.attisdropped "
                        "LEFT JOIN pg_catalog.pg_index i ON i.indrelid = c.oid AND i.indisprimary "
                        "WHERE c.oid = (SELECT c.oid FROM pg_catalog.pg_class c WHERE ") +
            own_tables +
            " AND pg_catalog.lower(c.relname COLLATE \"C\") = pg_catalog.lower($1 COLLATE \"C\") "
            "ORDER BY c.relname = $1 DESC, c.relname COLLATE \"C\" LIMIT 1) "
            "ORDER BY a.attnum";
        const std::string wanted(name);
        Result r = link_->run(sql, {wanted.c_str()});
        if (!r || PQntuples(r.get()) == 0) return std::nullopt;
        TableInfo info;
        info.name = PQgetvalue(r.get(), 0, 0);
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            if (PQgetisnull(r.get(), i, 1)) continue; // a table without columns
            ColumnInfo c;
            c.name = PQgetvalue(r.get(), i, 1);
            classify_column(c, declared_word(PQgetvalue(r.get(), i, 2)));
            c.nullable = std::string_view(PQgetvalue(r.get(), i, 3)) != "t";
            c.primary_key = std::string_view(PQgetvalue(r.get(), i, 4)) == "t";
            info.columns.push_back(std::move(c));
        }
        return info;
    }

    std::vector<std::string> table_names() override {
        std::vector<std::string> names;
        const Result r = link_->run(std::string("SELECT c.relname FROM pg_catalog.pg_class c "
                                                "WHERE ") +
                                    own_tables + " ORDER BY c.relname COLLATE \"C\"");
        for (int i = 0; r && i < PQntuples(r.get()); ++i)
            names.emplace_back(PQgetvalue(r.get(), i, 0));
        return names;
    }

    std::int64_t row_count(const TableInfo& table) override {
        const Result r = link_->run("SELECT COUNT(*) FROM " + quote_identifier(table.name));
        if (!r || PQntuples(r.get()) != 1) return 0;
        return integer_of(PQgetvalue(r.get(), 0, 0));
    }

    std::optional<std::vector<IndexInfo>> indexes(const TableInfo& table) override {
        // One row per key column of each index (not its INCLUDE columns).
        const std::string sql =
            std::string("SELECT x.relname, i.indisunique, a.attname "
                        "FROM pg_catalog.pg_index i "
                        "JOIN pg_catalog.pg_class x ON x.oid = i.indexrelid "
                        "CROSS JOIN LATERAL pg_catalog.unnest(i.indkey) WITH ORDINALITY "
                        "AS k(attnum, n) "
                        "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid "
                        "AND a.attnum = k.attnum AND k.attnum <> 0 "
                        "WHERE k.n <= i.indnkeyatts AND i.indrelid = "
                        "(SELECT c.oid FROM pg_catalog.pg_class c WHERE ") +
            own_tables +
            " AND c.relname = $1) "
            "ORDER BY x.relname COLLATE \"C\", k.n";
        Result r = link_->run(sql, {table.name.c_str()});
        if (!r) return std::nullopt;
        std::vector<IndexInfo> list;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            const std::string name = PQgetvalue(r.get(), i, 0);
            if (list.empty() || list.back().name != name) {
                list.push_back({name, std::string_view(PQgetvalue(r.get(), i, 1)) == "t", {}});
            }
            list.back().columns.emplace_back(
                PQgetisnull(r.get(), i, 2) ? "(expression)" : PQgetvalue(r.get(), i, 2));
        }
        return list;
    }

    std::string row_key(const TableInfo& table) override {
        // Only the integer types read as INTEGER.
        const ColumnInfo* key = nullptr;
        for (const ColumnInfo& c : table.columns) {
            if (!c.primary_key) continue;
            if (key) return {};
            key = &c;
        }
        if (!key || key->type_code != type_integer) return {};
        return quote_identifier(key->name);
    }

    std::string key_list_source() const override {
        return "SELECT pg_catalog.unnest(CAST(? AS bigint[]))";
    }
    std::string key_list_text(std::span<const std::int64_t> keys) const override {
        std::string text = "{";
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (i) text += ',';
            text += std::to_string(keys[i]);
        }
        return text + "}";
    }
    bool searches_by_index(const std::string&) override { return true; }

    EngineVersion engine() override {
        EngineVersion v;
        v.name = "PGSQL";
        PGconn* conn = link_->get();
        v.number = conn ? PQserverVersion(conn) : 0;
        const char* version = conn ? PQparameterStatus(conn, "server_version") : nullptr;
        v.text = ("PostgreSQL " + std::string(version ? version : "")).substr(0, 31);
        return v;
    }

    bool transaction_open() override { return link_->transaction_open(); }
    bool begin_transaction() override { return link_->transaction_command("BEGIN"); }
    bool end_transaction(bool commit) override {
        return link_->transaction_command(commit ? "COMMIT" : "ROLLBACK");
    }
    std::string write_turn_name() const override { return {}; }

  private:
    std::shared_ptr<Link> link_;
};

struct ConnFree {
    void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
using Connection = std::unique_ptr<PGconn, ConnFree>;

// Runs a statement on a connection of its own; the reason in error when it
// fails.
bool setup(PGconn* conn, const std::string& sql, std::string& error) {
    const Result r(PQexec(conn, sql.c_str()));
    if (result_ok(r.get())) return true;
    error = reason_line(PQresultErrorMessage(r.get()));
    return false;
}

// The first column of the one row a query with parameters answers, or
// nullopt with the reason in error.
std::optional<std::string> ask(PGconn* conn, const char* sql, std::vector<const char*> values,
                               std::string& error) {
    const Result r(PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                                nullptr, nullptr, 0));
    if (!result_ok(r.get()) || PQntuples(r.get()) != 1) {
        error = reason_line(PQresultErrorMessage(r.get()));
        return std::nullopt;
    }
    return std::string(PQgetvalue(r.get(), 0, 0));
}

// What every connection sets for itself: its schema alone on the search
// path, dates in ISO form.
std::string session_settings(const std::string& schema) {
    return "SET search_path TO " + quote_identifier(schema) + "; SET datestyle TO ISO";
}

class PgStorage final : public Storage {
  public:
    PgStorage(std::string dsn, int lock_wait_seconds)
        : dsn_(std::move(dsn)), lock_wait_seconds_(lock_wait_seconds) {}

    std::variant<std::unique_ptr<Database>, Status> open(const OpenRequest& request) override {
        const std::optional<std::string> schema = schema_of(request.name);
        if (!schema) return error_status(err_bad_name, request.name);
        if (request.login.user.empty()) return error_status(err_login, "no user name");

        Connection conn(connect_with(dsn_, &request.login));
        if (!conn) return error_status(err_connection_lost, "out of memory");
        if (PQstatus(conn.get()) != CONNECTION_OK) {
            const std::string reason = reason_line(PQerrorMessage(conn.get()));
            return error_status(login_refused(conn.get()) ? err_login : err_connection_lost,
                                reason);
        }
        if (request.login.password.empty() && PQconnectionUsedPassword(conn.get()))
            return error_status(err_login, "password required");

        std::string error;
        std::string settings = session_settings(*schema);
        if (lock_wait_seconds_ > 0)
            settings += "; SET lock_timeout TO '" + std::to_string(lock_wait_seconds_) + "s'";
        if (request.read_only) settings += "; SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY";
        if (!setup(conn.get(), settings, error)) return error_status(err_connection_lost, error);
        const auto found = ask(conn.get(),
                               "SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_namespace "
                               "WHERE nspname = $1)",
                               {schema->c_str()}, error);
        if (!found) return error_status(err_connection_lost, error);
        if (*found != "t") return error_status(err_no_database, request.name);

        const std::string lock_class_text = std::to_string(lock_class);
        const auto locked =
            ask(conn.get(),
                request.exclusive ? "SELECT pg_catalog.pg_try_advisory_lock($1::integer, "
                                    "pg_catalog.hashtext($2))"
                                  : "SELECT pg_catalog.pg_try_advisory_lock_shared($1::integer, "
                                    "pg_catalog.hashtext($2))",
                {lock_class_text.c_str(), schema->c_str()}, error);
        if (!locked) return error_status(err_connection_lost, error);
        if (*locked != "t") return error_status(err_exclusive, request.name);

        return std::unique_ptr<Database>(std::make_unique<PgDatabase>(conn.release()));
    }

    // A fresh schema is made usable by every role: USAGE on the schema,
    // and reading and writing the tables (and using the sequences) the
    // administrative user makes in it, such as the sample and test tables.
    std::unique_ptr<Database> administer(std::string_view name, bool fresh,
                                         std::string& error) override {
        const std::optional<std::string> schema = schema_of(name);
        if (!schema) {
            error = "database name not allowed";
            return nullptr;
        }
        Connection conn(connect_with(dsn_, nullptr));
        if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
            error = conn ? reason_line(PQerrorMessage(conn.get())) : "out of memory";
            return nullptr;
        }
        const std::string q = quote_identifier(*schema);
        if (fresh) {
            if (!setup(conn.get(),
                       "DROP SCHEMA IF EXISTS " + q + " CASCADE; CREATE SCHEMA " + q +
                           "; GRANT USAGE ON SCHEMA " + q +
                           " TO PUBLIC; ALTER DEFAULT PRIVILEGES IN SCHEMA " + q +
                           " GRANT SELECT, INSERT, UPDATE, DELETE ON TABLES TO PUBLIC"
                           "; ALTER DEFAULT PRIVILEGES IN SCHEMA " +
                           q + " GRANT USAGE ON SEQUENCES TO PUBLIC",
                       error))
                return nullptr;
        } else {
            const auto found = ask(conn.get(),
                                   "SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_namespace "
                                   "WHERE nspname = $1)",
                                   {schema->c_str()}, error);
            if (!found) return nullptr;
            if (*found != "t") {
                error = "no schema " + *schema;
                return nullptr;
            }
        }
        if (!setup(conn.get(), session_settings(*schema), error)) return nullptr;
        return std::make_unique<PgDatabase>(conn.release());
    }

  private:
    const std::string dsn_;
    const int lock_wait_seconds_;
};

} // namespace

std::unique_ptr<Storage> make_postgres_storage(const std::string& dsn, std::string& error,
                                               int lock_wait_seconds) {
    // libpq's message about a DSN that does not parse may quote a piece of
    // it, which may be a password: say only that it does not parse.  (A
    // DSN of one word without '=' is a database name.)
    if (dsn.find('=') != std::string::npos || dsn.find("://") != std::string::npos) {
        char* parse_error = nullptr;
        PQconninfoOption* options = PQconninfoParse(dsn.c_str(), &parse_error);
        PQfreemem(parse_error);
        if (!options) {
            error = "the DSN does not parse (key=value words or a postgresql:// URI)";
            return nullptr;
        }
        PQconninfoFree(options);
    }
    const Connection conn(connect_with(dsn, nullptr));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        error = conn ? reason_line(PQerrorMessage(conn.get())) : "out of memory";
        return nullptr;
    }
    return std::make_unique<PgStorage>(dsn, lock_wait_seconds);
}

} // namespace kls

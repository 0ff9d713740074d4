// Whole-table fetch benchmark (scripts/bench.sh starts the servers and the
// cluster and runs this once per table size).  It reads every row of the
// sample's orders table through
//   - the library and klserver on SQLite (environment file SQLITE_ENV),
//   - the library and klserver on PostgreSQL (PG_ENV; klserver logs in as
//     KL_BENCH_PG_USER),
//   - libpq on the same PostgreSQL (DSN, schema SCHEMA): PQexec of
//     SELECT * FROM orders, the whole result in memory, text form,
//   - SQLite's C API in process on the same file (FILE),
// touches every value of every row, and prints each path's median time,
// rows per second and ratio to libpq.  A path runs R times (default 5), or
// fewer once its runs add up to S seconds (default 120).  Every run must
// read the same rows and checksum, else the program exits 1.  With
// --clients N, N processes of each path but SQLite in process fetch the
// whole table at once (aggregate rows per second); with --inserts N one
// client inserts N rows, one call each, through the library on each
// backend and through libpq.  Connecting is never timed.
//
//   fetch_bench SQLITE_ENV PG_ENV DSN SCHEMA FILE [--runs R] [--batch B]
//               [--clients N] [--inserts N] [--budget S]
//
// The checksum adds, for every value, value × a constant of its column:
// integers as numbers, dates as the number YYYYMMDD, text (NULL as empty,
// trailing blanks and NULs dropped) as the FNV-1a hash of its bytes.  The
// library fetches binary records (klserver speaks this machine's byte order
// by default) in batches of B records (default 10000).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <libpq-fe.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "klsrv32.h"

namespace {

struct Sum {
    std::uint64_t rows = 0, checksum = 0;
    bool operator==(const Sum&) const = default;
};

void fail(const std::string& what) {
    std::fprintf(stderr, "fetch_bench: %s\n", what.c_str());
    std::exit(1);
}

std::uint64_t column_factor(int column) {
    return 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(2 * column + 1);
}

void add_number(Sum& s, int column, std::int64_t v) {
    s.checksum += static_cast<std::uint64_t>(v) * column_factor(column);
}

void add_text(Sum& s, int column, std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const char c : text)
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    s.checksum += h * column_factor(column);
}

// "2025-03-14" or "20250314" as 20250314.
void add_date(Sum& s, int column, std::string_view text) {
    std::int64_t v = 0;
    for (const char c : text)
        if (c >= '0' && c <= '9') v = v * 10 + (c - '0');
    add_number(s, column, v);
}

std::string kl_message(const char* call, klstatus st) {
    char text[256] = {};
    klerror(&st, "", text);
    return std::string(call) + ": error " + std::to_string(st.error) + " " + text + " " +
           std::string(st.buffer, strnlen(st.buffer, sizeof st.buffer));
}

// --- the library and klserver -------------------------------------------

struct KlConnection {
    kl_long instance = 0, cursor = 0;
    KlConnection(const std::string& env, const std::string& user) {
        klstatus st{};
        if (klconnect(env.c_str(), "", &st, user.c_str(), "", &instance) != 0 ||
            klopencursor(instance, "", &st, &cursor) != 0)
            fail(kl_message("klconnect", st));
    }
    ~KlConnection() {
        klstatus st{};
        kldisconnect(instance, "", &st);
    }
};

Sum library_fetch(KlConnection& c, kl_long batch) {
    klstatus st{};
    if (klselect(c.cursor, "", &st, "orders", "", "") != 0) fail(kl_message("klselect", st));
    const kl_long record = st.bufflen;
    // The record layout: type, length and offset of each column.
    constexpr int most = 64;
    std::vector<klcolumn_description> d(most);
    if (kldescribe(c.cursor, "", &st, most, reinterpret_cast<char*>(d.data())) != 0)
        fail(kl_message("kldescribe", st));
    struct Field {
        kl_long type, length, offset;
    };
    std::vector<Field> fields;
    for (kl_long i = 0; i < std::min<kl_long>(st.count, most); ++i) {
        const klcolumn_description& column = d[static_cast<std::size_t>(i)];
        const Field f{column.type, column.length, column.offset};
        if (f.offset < 0 || f.length < 0 || f.offset + f.length > record) fail("bad layout");
        fields.push_back(f);
    }
    // The server fills its answers with whole records: the records asked
    // for and one answer more always fit.
    std::vector<char> area(static_cast<std::size_t>(batch * record) + KL_MAX_RECORD_BYTES);
    Sum s;
    for (;;) {
        st = klstatus{};
        const std::uint32_t r = klfetch(c.cursor, "", &st, batch, area.data());
        if (r != 0 && st.error != KL_ERR_NO_MORE_RECORDS) fail(kl_message("klfetch", st));
        for (kl_long k = 0; k < std::clamp<kl_long>(st.count, 0, batch); ++k) {
            const char* row = area.data() + k * record;
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const Field& f = fields[i];
                const char* at = row + f.offset;
                const int column = static_cast<int>(i);
                if (f.type == KL_TYPE_INTEGER) {
                    std::int32_t v;
                    std::memcpy(&v, at, sizeof v);
                    add_number(s, column, v);
                } else if (f.type == KL_TYPE_DATE) {
                    add_date(s, column, {at, static_cast<std::size_t>(f.length)});
                } else {
                    add_text(s, column, {at, strnlen(at, static_cast<std::size_t>(f.length))});
                }
            }
            ++s.rows;
        }
        if (r != 0 || st.count < batch || st.warn == KL_ERR_NO_MORE_RECORDS) return s;
    }
}

// A row of orders in binary form, without the id (the database picks it).
void library_insert(KlConnection& c, int k) {
    char row[64] = {};
    const std::int32_t numbers[4] = {0, 1000000 + k % 100, 1 + k % 12, 1 + k % 20};
    std::memcpy(row, numbers, sizeof numbers);
    std::memcpy(row + 16, "20250101", 8);
    std::memcpy(row + 24, "bench", 5);
    klstatus st{};
    if (klinsert(c.instance, "", &st, "orders", "customer,product,quantity,ordered,note", row) != 0)
        fail(kl_message("klinsert", st));
}

// --- libpq ----------------------------------------------------------------

PGconn* pg_connect(const std::string& dsn, const std::string& schema) {
    PGconn* conn = PQconnectdb(dsn.c_str());
    if (PQstatus(conn) != CONNECTION_OK) fail(std::string("libpq: ") + PQerrorMessage(conn));
    PGresult* r = PQexec(conn, ("SET search_path TO \"" + schema + "\"").c_str());
    PQclear(r);
    return conn;
}

Sum pg_fetch(PGconn* conn) {
    PGresult* r = PQexec(conn, "SELECT * FROM orders");
    if (PQresultStatus(r) != PGRES_TUPLES_OK) fail(std::string("libpq: ") + PQerrorMessage(conn));
    Sum s;
    const int rows = PQntuples(r), columns = PQnfields(r);
    for (int k = 0; k < rows; ++k) {
        for (int i = 0; i < columns; ++i) {
            const char* v = PQgetvalue(r, k, i); // "" for NULL
            if (i == 4)
                add_date(s, i, v);
            else if (i == 5)
                add_text(s, i, {v, static_cast<std::size_t>(PQgetlength(r, k, i))});
            else
                add_number(s, i, std::strtoll(v, nullptr, 10));
        }
        ++s.rows;
    }
    PQclear(r);
    return s;
}

void pg_insert(PGconn* conn, int k) {
    const std::string customer = std::to_string(1000000 + k % 100),
                      product = std::to_string(1 + k % 12), quantity = std::to_string(1 + k % 20);
    const char* values[] = {customer.c_str(), product.c_str(), quantity.c_str(), "2025-01-01",
                            "bench"};
    PGresult* r = PQexecParams(conn,
                               "INSERT INTO orders (customer, product, quantity, ordered, note) "
                               "VALUES ($1, $2, $3, $4, $5)",
                               5, nullptr, values, nullptr, nullptr, 0);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) fail(std::string("libpq: ") + PQerrorMessage(conn));
    PQclear(r);
}

std::string pg_setting(PGconn* conn, const char* name) {
    PGresult* r = PQexec(conn, (std::string("SHOW ") + name).c_str());
    std::string v = PQresultStatus(r) == PGRES_TUPLES_OK ? PQgetvalue(r, 0, 0) : "?";
    PQclear(r);
    return v;
}

// Makes every commit of the cluster synced (fsync and synchronous commit on,
// both reloadable) and waits, bounded, until this session sees it; `false`
// puts back what the cluster's own configuration says. The inserts are
// compared with every commit synced on both databases, as klserver's SQLite
// does by default; the fetch runs do not depend on it.
void pg_durable(PGconn* conn, bool on) {
    for (const char* name : {"fsync", "synchronous_commit"}) {
        const std::string sql =
            std::string("ALTER SYSTEM ") + (on ? "SET " : "RESET ") + name + (on ? " = on" : "");
        PGresult* r = PQexec(conn, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK)
            fail(std::string("libpq: ") + PQerrorMessage(conn));
        PQclear(r);
    }
    PQclear(PQexec(conn, "SELECT pg_reload_conf()"));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (on &&
           (pg_setting(conn, "fsync") != "on" || pg_setting(conn, "synchronous_commit") != "on")) {
        if (std::chrono::steady_clock::now() > limit)
            fail("PostgreSQL did not take the new durability");
        PQclear(PQexec(conn, "SELECT pg_sleep(0.01)"));
    }
}

// --- SQLite in process ------------------------------------------------------

sqlite3* sqlite_open(const std::string& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        fail("sqlite: " + std::string(sqlite3_errmsg(db)));
    return db;
}

// A setting as a new connection to the file has it (synchronous: 0 off,
// 1 normal, 2 full, 3 extra).
std::string sqlite_setting(const std::string& file, const std::string& name) {
    sqlite3* db = sqlite_open(file);
    sqlite3_stmt* q = nullptr;
    std::string value = "?";
    if (sqlite3_prepare_v2(db, ("PRAGMA " + name).c_str(), -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
        value = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
    sqlite3_finalize(q);
    sqlite3_close(db);
    return value;
}

Sum sqlite_fetch(sqlite3* db) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT * FROM orders", -1, &q, nullptr) != SQLITE_OK)
        fail("sqlite: " + std::string(sqlite3_errmsg(db)));
    Sum s;
    while (sqlite3_step(q) == SQLITE_ROW) {
        for (int i = 0; i < 6; ++i) {
            if (i < 4) {
                add_number(s, i, sqlite3_column_int64(q, i));
            } else {
                const auto* v = reinterpret_cast<const char*>(sqlite3_column_text(q, i));
                const std::string_view text(v ? v : "",
                                            static_cast<std::size_t>(sqlite3_column_bytes(q, i)));
                if (i == 4)
                    add_date(s, i, text);
                else
                    add_text(s, i, text);
            }
        }
        ++s.rows;
    }
    sqlite3_finalize(q);
    return s;
}

// --- runs -------------------------------------------------------------------

// A path: connect() (untimed) returns the fetch to time.
using Fetch = std::function<Sum()>;
struct Path {
    const char* name;
    std::function<Fetch()> connect;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// N processes, each connected before the clock starts; the clock runs from
// the start signal until the last one has finished.  Returns the seconds,
// and the rows and checksum of every process added up.
double concurrent(const Path& path, int processes, Sum& total) {
    std::fflush(nullptr); // nothing buffered is inherited, to be written twice
    int go[2], done[2];
    if (pipe(go) != 0 || pipe(done) != 0) fail("pipe");
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t pid = fork();
        if (pid < 0) fail("fork");
        if (pid == 0) {
            close(go[1]);
            close(done[0]);
            const Fetch fetch = path.connect();
            Sum s{}; // a ready message first, then the result
            if (write(done[1], &s, sizeof s) != sizeof s) _exit(1);
            char c;
            if (read(go[0], &c, 1) != 1) _exit(1);
            s = fetch();
            _exit(write(done[1], &s, sizeof s) == sizeof s ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(go[0]);
    close(done[1]);
    Sum s;
    for (int p = 0; p < processes; ++p)
        if (read(done[0], &s, sizeof s) != sizeof s) fail("a client did not connect");
    const auto start = std::chrono::steady_clock::now();
    const std::string signal(static_cast<std::size_t>(processes), 'g');
    if (write(go[1], signal.data(), signal.size()) != processes) fail("start signal");
    total = {};
    for (int p = 0; p < processes; ++p) {
        if (read(done[0], &s, sizeof s) != sizeof s)
            fail(std::string(path.name) + ": a client failed");
        total.rows += s.rows;
        total.checksum += s.checksum;
    }
    const double elapsed = seconds_since(start);
    close(go[1]);
    close(done[0]);
    for (const pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a client ended badly");
    }
    return elapsed;
}

const char* option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 6; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 6 || argc % 2) {
        std::fprintf(stderr, "usage: fetch_bench SQLITE_ENV PG_ENV DSN SCHEMA FILE [--runs R] "
                             "[--batch B] [--clients N] [--inserts N] [--budget S]\n");
        return 2;
    }
    const std::string sqlite_env = argv[1], pg_env = argv[2], dsn = argv[3], schema = argv[4],
                      file = argv[5];
    const int runs = std::max(1, std::atoi(option(argc, argv, "--runs", "5")));
    const kl_long batch = std::max(1, std::atoi(option(argc, argv, "--batch", "10000")));
    const int clients = std::atoi(option(argc, argv, "--clients", "0"));
    const int inserts = std::atoi(option(argc, argv, "--inserts", "0"));
    const double budget = std::atof(option(argc, argv, "--budget", "120"));
    // klserver on PostgreSQL logs in as the PostgreSQL user KL_BENCH_PG_USER.
    const char* pg_user_env = std::getenv("KL_BENCH_PG_USER");
    const std::string pg_user = pg_user_env ? pg_user_env : "bench";

    // Each fetch holds its connection (a shared pointer) for its runs.
    auto library = [batch](std::string env, std::string user) {
        return [=]() -> Fetch {
            auto c = std::make_shared<KlConnection>(env, user);
            return [c, batch] { return library_fetch(*c, batch); };
        };
    };
    const Path paths[] = {
        {"library + klserver, SQLite", library(sqlite_env, "bench")},
        {"library + klserver, PostgreSQL", library(pg_env, pg_user)},
        {"libpq + PostgreSQL (PQexec)",
         [&]() -> Fetch {
             auto conn = std::shared_ptr<PGconn>(pg_connect(dsn, schema), PQfinish);
             return [conn] { return pg_fetch(conn.get()); };
         }},
        {"SQLite C API in process",
         [&]() -> Fetch {
             auto db = std::shared_ptr<sqlite3>(sqlite_open(file), sqlite3_close);
             return [db] { return sqlite_fetch(db.get()); };
         }},
    };
    constexpr int libpq = 2;

    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    sched_getaffinity(0, sizeof cpus, &cpus);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const std::string pinning = CPU_COUNT(&cpus) < online
                                    ? "pinned to " + std::to_string(CPU_COUNT(&cpus)) + " of " +
                                          std::to_string(online) + " CPUs"
                                    : "not pinned, " + std::to_string(online) + " CPUs";
    // Runs the timed part of each path up to `most` times, fewer when its
    // runs add up to the budget; prints the medians against libpq's.
    std::vector<std::string> names;
    for (const Path& path : paths)
        names.push_back(path.name);
    auto measure = [&](const std::string& title, std::size_t count, double units, int most,
                       const std::function<double(std::size_t)>& run) {
        std::vector<std::pair<int, double>> medians;
        for (std::size_t i = 0; i < count; ++i) {
            std::vector<double> times;
            double spent = 0;
            while (static_cast<int>(times.size()) < most && spent < budget) {
                times.push_back(run(i));
                spent += times.back();
            }
            medians.emplace_back(static_cast<int>(times.size()), median(times));
        }
        std::printf("%s (%s)\n  %-34s %5s %10s %12s %9s\n", title.c_str(), pinning.c_str(), "path",
                    "runs", "seconds", "rows/s", "/ libpq");
        for (std::size_t i = 0; i < count; ++i)
            std::printf("  %-34s %5d %10.3f %12.0f %9.2f\n", names[i].c_str(), medians[i].first,
                        medians[i].second, units / medians[i].second,
                        medians[libpq].second / medians[i].second);
        std::fflush(stdout);
    };

    // Whole-table fetch, one client; the first run of the first path sets
    // the rows and checksum every other run must read.
    Sum expected{};
    std::vector<Fetch> fetches(std::size(paths));
    auto fetch_once = [&](std::size_t i) {
        if (!fetches[i]) { // the library connects to one server at a time
            fetches.assign(fetches.size(), nullptr);
            fetches[i] = paths[i].connect();
        }
        const auto start = std::chrono::steady_clock::now();
        const Sum s = fetches[i]();
        const double t = seconds_since(start);
        if (expected.rows == 0) expected = s;
        if (!(s == expected))
            fail(std::string(paths[i].name) + ": " + std::to_string(s.rows) + " rows, checksum " +
                 std::to_string(s.checksum) + "; the first path read " +
                 std::to_string(expected.rows) + " rows, checksum " +
                 std::to_string(expected.checksum));
        return t;
    };
    fetch_once(0); // sets the rows for the title; not counted
    const std::string title = "whole-table fetch of orders, " + std::to_string(expected.rows) +
                              " rows, median of up to " + std::to_string(runs) +
                              " runs a path (library: binary records, batches of " +
                              std::to_string(batch) + ")";
    measure(title, std::size(paths), static_cast<double>(expected.rows), runs, fetch_once);
    fetches.clear();
    std::printf("  every path read the same rows (checksum %016llx)\n",
                static_cast<unsigned long long>(expected.checksum));

    if (clients > 0) {
        const std::string heading =
            std::to_string(clients) + " client processes at once, each the whole table, aggregate";
        measure(heading, 3, static_cast<double>(expected.rows) * clients,
                std::max(1, (runs + 1) / 2), [&](std::size_t i) {
                    Sum total;
                    const double t = concurrent(paths[i], clients, total);
                    if (total.rows != expected.rows * static_cast<std::uint64_t>(clients) ||
                        total.checksum != expected.checksum * static_cast<std::uint64_t>(clients))
                        fail(std::string(paths[i].name) + ": the clients read other rows");
                    return t;
                });
    }

    if (inserts > 0) {
        PGconn* conn = pg_connect(dsn, schema);
        pg_durable(conn, true);
        const std::string heading =
            std::to_string(inserts) + " inserts into orders, one call each, one client; " +
            "PostgreSQL fsync=" + pg_setting(conn, "fsync") +
            " synchronous_commit=" + pg_setting(conn, "synchronous_commit") +
            "; SQLite under klserver: journal_mode=" + sqlite_setting(file, "journal_mode") +
            " synchronous=" + sqlite_setting(file, "synchronous") +
            " (every commit synced on both)";
        names[2] = "libpq + PostgreSQL (PQexecParams)";
        measure(heading, 3, inserts, 1, [&](std::size_t i) {
            std::function<void(int)> insert;
            std::unique_ptr<KlConnection> kl;
            if (i < 2) {
                kl = std::make_unique<KlConnection>(i == 0 ? sqlite_env : pg_env,
                                                    i == 0 ? "bench" : pg_user);
                insert = [&](int k) { library_insert(*kl, k); };
            } else {
                insert = [&](int k) { pg_insert(conn, k); };
            }
            const auto start = std::chrono::steady_clock::now();
            for (int k = 0; k < inserts; ++k)
                insert(k);
            return seconds_since(start);
        });
        pg_durable(conn, false);
        PQfinish(conn);
    }
    return 0;
}

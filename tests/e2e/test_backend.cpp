#include "test_backend.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "postgres_storage.h"
#include "sqlite_storage.h"

namespace kl::test {

namespace {

std::string env(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// The test program's own database in the cluster KL_PG_DSN names, so that
// programs running at once never meet: made at first use, dropped when the
// program ends.
struct OwnDatabase {
    std::string admin_dsn;
    std::string name;
    std::string dsn; // admin_dsn with dbname = name
};

bool run(const std::string& dsn, const std::string& sql) {
    PGconn* conn = PQconnectdb(dsn.c_str());
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        PGresult* result = PQexec(conn, sql.c_str());
        ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        if (!ok) std::fprintf(stderr, "%s: %s", sql.c_str(), PQresultErrorMessage(result));
        PQclear(result);
    } else {
        std::fprintf(stderr, "cannot connect to %s: %s", dsn.c_str(), PQerrorMessage(conn));
    }
    PQfinish(conn);
    return ok;
}

// Never destroyed, so the exit hook can still read it.
const OwnDatabase& own_database() {
    static const OwnDatabase* db = [] {
        auto* made_new = new OwnDatabase;
        OwnDatabase& made = *made_new;
        made.admin_dsn = env("KL_PG_DSN");
        if (made.admin_dsn.empty()) {
            // Asked for PostgreSQL without a cluster: ctest counts the
            // program as skipped (SKIP_RETURN_CODE 77), loudly.
            std::fprintf(stderr, "PostgreSQL tests SKIPPED: KL_PG_DSN is not set\n");
            std::_Exit(77);
        }
        made.name = "kl_test_" + std::to_string(::getpid());
        made.dsn = made.admin_dsn + " dbname=" + made.name;
        run(made.admin_dsn, "DROP DATABASE IF EXISTS " + made.name);
        if (!run(made.admin_dsn, "CREATE DATABASE " + made.name)) std::_Exit(1);
        std::atexit([] {
            run(own_database().admin_dsn,
                "DROP DATABASE IF EXISTS " + own_database().name + " WITH (FORCE)");
        });
        return made_new;
    }();
    return *db;
}

} // namespace

bool on_postgres() {
    return env("KL_TEST_BACKEND") == "postgres";
}

std::shared_ptr<kls::Storage> make_test_storage(const std::filesystem::path& data,
                                                int write_wait_seconds,
                                                std::shared_ptr<const kls::UserFile> users) {
    if (on_postgres()) {
        std::string error;
        std::shared_ptr<kls::Storage> storage =
            kls::make_postgres_storage(own_database().dsn, error);
        if (!storage) std::fprintf(stderr, "PostgreSQL storage: %s\n", error.c_str());
        return storage;
    }
    return kls::make_sqlite_storage(
        {std::filesystem::canonical(data).string(), write_wait_seconds * 1000, std::move(users)});
}

std::string test_user() {
    return on_postgres() ? env("KL_PG_TEST_USER", "tester") : "tester";
}

std::string test_password() {
    return on_postgres() ? env("KL_PG_TEST_PASSWORD") : "";
}

} // namespace kl::test

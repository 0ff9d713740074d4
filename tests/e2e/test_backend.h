// The storage the end-to-end tests run on: SQLite files in each test's
// folder, or, when KL_TEST_BACKEND=postgres, PostgreSQL.  Then KL_PG_DSN is
// the administrative DSN of a throwaway cluster, the test program makes a
// database of its own there (dropped when it ends) and every test fresh
// schemas in it; clients log in as KL_PG_TEST_USER with the password
// KL_PG_TEST_PASSWORD, which the environment files carry.
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "postgres_storage.h"
#include "sqlite_storage.h"
#include "storage.h"
#include "users.h"

namespace kl::test {

inline std::string env_text(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

inline bool on_postgres() {
    return env_text("KL_TEST_BACKEND") == "postgres";
}

inline bool run_on_cluster(const std::string& dsn, const std::string& sql) {
    PGconn* conn = PQconnectdb(dsn.c_str());
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    PGresult* result = PQstatus(conn) == CONNECTION_OK ? PQexec(conn, sql.c_str()) : nullptr;
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) std::fprintf(stderr, "%s: %s", sql.c_str(), PQerrorMessage(conn));
    PQclear(result);
    PQfinish(conn);
    return ok;
}

// The test program's own database in the cluster KL_PG_DSN names, so that
// programs running at once never meet: made at first use, dropped when the
// program ends.  Its DSN.
inline const std::string& own_database() {
    static const std::string admin = env_text("KL_PG_DSN");
    static const std::string name = "kl_test_" + std::to_string(::getpid());
    static const std::string dsn = [] {
        if (admin.empty()) {
            // Asked for PostgreSQL without a cluster: ctest counts the
            // program as skipped (SKIP_RETURN_CODE 77), loudly.
            std::fprintf(stderr, "PostgreSQL tests SKIPPED: KL_PG_DSN is not set\n");
            std::_Exit(77);
        }
        run_on_cluster(admin, "DROP DATABASE IF EXISTS " + name);
        if (!run_on_cluster(admin, "CREATE DATABASE " + name)) std::_Exit(1);
        std::atexit(
            [] { run_on_cluster(admin, "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)"); });
        return admin + " dbname=" + name;
    }();
    return dsn;
}

// The storage over data (an existing folder; a SQLite write waits up to
// write_wait_seconds for another connection's, and users, when set, is
// the users file) or the test program's PostgreSQL database.
inline std::shared_ptr<kls::Storage>
make_test_storage(const std::filesystem::path& data, int write_wait_seconds,
                  std::shared_ptr<const kls::UserFile> users = {}) {
    if (on_postgres()) {
        std::string error;
        std::shared_ptr<kls::Storage> storage = kls::make_postgres_storage(own_database(), error);
        if (!storage) std::fprintf(stderr, "PostgreSQL storage: %s\n", error.c_str());
        return storage;
    }
    return kls::make_sqlite_storage(
        {std::filesystem::canonical(data).string(), write_wait_seconds * 1000, std::move(users)});
}

// The login of clients (on SQLite "tester", no password).
inline std::string test_user() {
    return on_postgres() ? env_text("KL_PG_TEST_USER", "tester") : "tester";
}
inline std::string test_password() {
    return on_postgres() ? env_text("KL_PG_TEST_PASSWORD") : "";
}

} // namespace kl::test

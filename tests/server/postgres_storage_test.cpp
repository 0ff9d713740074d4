// The PostgreSQL storage on its own, for what the end-to-end suites cannot
// show: savepoints, one connection shared by queries, parameters in quotes,
// refused logins, the type mapping, the lock wait.  Runs against the
// database of KL_PG_DSN (a user that may create schemas and roles),
// skipped without it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <variant>

#include "postgres_storage.h"
#include "server_errors.h"

namespace kls {
namespace {

// The role clients log in as: the test cluster's (whose pg_hba.conf asks
// it for its password), or one of this test's own.
const char* env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}
const bool own_role = std::getenv("KL_PG_TEST_USER") == nullptr;
const char* const login_role = env_or("KL_PG_TEST_USER", "kl_login_test");
const char* const login_password = env_or("KL_PG_TEST_PASSWORD", "right horse");

class PostgresStorage : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* dsn = std::getenv("KL_PG_DSN");
        if (!dsn || !*dsn) GTEST_SKIP() << "KL_PG_DSN is not set";
        std::string error;
        storage_ = make_postgres_storage(dsn, error);
        ASSERT_TRUE(storage_) << error;
        admin_ = storage_->administer(schema_, true, error);
        ASSERT_TRUE(admin_) << error;
        ASSERT_TRUE(admin_->exec("CREATE TABLE t (id integer PRIMARY KEY, name varchar(10))"));
        ASSERT_TRUE(admin_->exec("INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'c')"));
        user_ = single_text("SELECT current_user");
    }

    std::string single_text(const char* sql) {
        auto q = admin_->prepare(sql);
        if (!q || q->step() != Query::Step::row) return "(failed)";
        return std::string(q->text(0));
    }

    std::variant<std::unique_ptr<Database>, Status> open(OpenRequest r) {
        r.name = schema_ + ".DB";
        if (r.login.user.empty()) r.login.user = user_;
        return storage_->open(r);
    }
    std::unique_ptr<Database> client() {
        auto opened = open({});
        if (auto* db = std::get_if<std::unique_ptr<Database>>(&opened)) return std::move(*db);
        ADD_FAILURE() << std::get<Status>(opened).error << " " << std::get<Status>(opened).text;
        return nullptr;
    }

    void TearDown() override {
        if (admin_) admin_->exec("DROP SCHEMA " + schema_ + " CASCADE");
    }

    // A schema of its own, so that test programs running at once never meet.
    const std::string schema_ = "kl_storage_test_" + std::to_string(std::random_device()());
    std::unique_ptr<Storage> storage_;
    std::unique_ptr<Database> admin_;
    std::string user_;
};

// (Missing schemas, exclusive use and wrong passwords are the end-to-end
// runs'.)
TEST_F(PostgresStorage, OpenRefusesWithTheNumbersOfTheSqliteSide) {
    if (own_role) {
        ASSERT_TRUE(admin_->exec(std::string("DROP ROLE IF EXISTS ") + login_role));
        ASSERT_TRUE(admin_->exec(std::string("CREATE ROLE ") + login_role + " LOGIN PASSWORD '" +
                                 login_password + "'"));
    }
    const struct {
        std::string name;
        const char* user;
        std::int32_t error;
    } cases[] = {
        {std::string(64, 'x') + ".db", user_.c_str(), err_bad_name},
        {"pg_catalog", user_.c_str(), err_bad_name},
        {schema_ + ".DB", "", err_login},
    };
    for (const auto& c : cases) {
        const auto opened = storage_->open({.name = c.name, .login = {c.user, ""}});
        ASSERT_TRUE(std::holds_alternative<Status>(opened)) << c.name;
        EXPECT_EQ(std::get<Status>(opened).error, c.error) << c.name;
    }
    EXPECT_TRUE(std::holds_alternative<std::unique_ptr<Database>>(
        open({.login = {login_role, login_password}})));
    if (!std::holds_alternative<Status>(open({.login = {login_role, ""}})))
        GTEST_SKIP() << "the cluster lets " << login_role << " in without its password";
    // Nor through a password the server has for itself.
    setenv("PGPASSWORD", login_password, 1);
    const auto sneaked = open({.login = {login_role, ""}});
    unsetenv("PGPASSWORD");
    ASSERT_TRUE(std::holds_alternative<Status>(sneaked));
    EXPECT_EQ(std::get<Status>(sneaked).error, err_login);
    EXPECT_TRUE(!own_role || admin_->exec(std::string("DROP ROLE ") + login_role));
}

TEST_F(PostgresStorage, AFailedStatementLeavesTheTransactionAsItWas) {
    auto db = client();
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->begin_transaction());
    ASSERT_TRUE(db->exec("INSERT INTO t VALUES (4, 'd')"));
    // A failure of each kind: a statement through exec, a query failing
    // at its first step, a query failing after rows.
    EXPECT_FALSE(db->exec("INSERT INTO t VALUES (1, 'dup')"));
    EXPECT_EQ(db->last_fault(), StorageFault::other);
    auto bad = db->prepare("SELECT no_such_column FROM t");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->step(), Query::Step::failed);
    auto late = db->prepare("SELECT 10 / (3 - id) FROM t ORDER BY id");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->step(), Query::Step::row);
    EXPECT_EQ(late->step(), Query::Step::row);
    EXPECT_EQ(late->step(), Query::Step::failed);
    EXPECT_NE(db->last_error().find("division by zero"), std::string::npos) << db->last_error();
    EXPECT_TRUE(db->transaction_open());
    ASSERT_TRUE(db->exec("INSERT INTO t VALUES (5, 'e')"));

    // Queries sharing the connection: one started while another streams
    // finishes the other.
    auto many = db->prepare("SELECT id, name FROM t ORDER BY id");
    auto one = db->prepare("SELECT name FROM t WHERE id = ?");
    ASSERT_TRUE(many && one);
    ASSERT_EQ(many->step(), Query::Step::row);
    EXPECT_TRUE(db->transaction_open());
    one->bind_integer(1, 3);
    ASSERT_EQ(one->step(), Query::Step::row);
    // A third query, failing, while the second still streams.
    EXPECT_FALSE(db->exec("SELECT * FROM no_such_table"));
    EXPECT_EQ(many->integer(0), 1);
    EXPECT_EQ(many->text(1), "a");
    EXPECT_EQ(one->text(0), "c");
    // The second had no more rows: done.  The first lost its rows: failed.
    EXPECT_EQ(one->step(), Query::Step::done);
    EXPECT_EQ(many->step(), Query::Step::failed);
    EXPECT_TRUE(db->transaction_open());
    many->reset(); // and run again to its end
    int rows = 0;
    while (many->step() == Query::Step::row)
        ++rows;
    EXPECT_EQ(rows, 5);
    ASSERT_TRUE(db->end_transaction(true));
    EXPECT_EQ(single_text("SELECT string_agg(name, '' ORDER BY id) FROM t"), "abcde");
}

TEST_F(PostgresStorage, ParametersAndTheRowsTextForms) {
    auto db = client();
    ASSERT_TRUE(db);
    auto q = db->prepare("SELECT '?''?' || ? AS \"a?\", CAST(? AS integer) + 1, ?, ?, ?, "
                         "true, false, 2.75::float8, '2024-02-29'::date, 1e30::float8");
    ASSERT_TRUE(q);
    q->bind_text(1, "x");
    q->bind_integer(2, -8);
    q->bind_real(3, 0.1);
    q->bind_null(4);
    q->bind_text(5, "it's");
    ASSERT_EQ(q->step(), Query::Step::row);
    EXPECT_EQ(q->text(0), "?'?x");
    EXPECT_EQ(q->integer(1), -7);
    EXPECT_EQ(q->text(2), "0.1"); // as written, and exact
    EXPECT_TRUE(q->is_null(3));
    EXPECT_EQ(q->text(4), "it's");
    EXPECT_EQ(q->integer(5), 1);
    EXPECT_EQ(q->integer(6), 0);
    EXPECT_EQ(q->integer(7), 2);
    EXPECT_EQ(q->real(7), 2.75);
    EXPECT_EQ(q->text(8), "2024-02-29");
    EXPECT_EQ(q->integer(9), INT64_MAX);
    EXPECT_EQ(q->step(), Query::Step::done);
}

TEST_F(PostgresStorage, TheCatalogueInTheClientsTerms) {
    ASSERT_TRUE(admin_->exec(
        "CREATE TABLE \"Mixed\" (k bigint PRIMARY KEY, c character(5), v character varying(7), "
        "vn varchar, tx text, i smallint, n numeric(8,2), r real, d date, b boolean, "
        "ts timestamp, a integer[]); "
        "CREATE INDEX mixed_b ON \"Mixed\" (v, lower(tx), c) INCLUDE (i); "
        "CREATE TABLE twokeys (p integer, q integer, PRIMARY KEY (p, q))"));
    auto db = client();
    ASSERT_TRUE(db);
    EXPECT_EQ(db->table_names(), (std::vector<std::string>{"Mixed", "t", "twokeys"}));
    const auto mixed = db->table("MIXED");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->name, "Mixed");
    std::string declared;
    for (const ColumnInfo& c : mixed->columns)
        declared += c.name + ":" + c.declared + (c.nullable ? "" : "!") + " ";
    EXPECT_EQ(declared, "k:INTEGER! c:CHAR(5) v:VARCHAR(7) vn:VARCHAR(32) tx:VARCHAR(32) "
                        "i:INTEGER n:FLOAT r:FLOAT d:DATE b:VARCHAR(32) ts:VARCHAR(32) "
                        "a:VARCHAR(32) ");
    EXPECT_EQ(db->row_key(*mixed), "\"k\"");
    EXPECT_EQ(db->row_key(*db->table("twokeys")), "");
    EXPECT_FALSE(db->table("no_such_table"));

    const auto indexes = db->indexes(*mixed);
    ASSERT_TRUE(indexes);
    ASSERT_EQ(indexes->size(), 2u);
    EXPECT_EQ((*indexes)[0].name, "Mixed_pkey");
    EXPECT_TRUE((*indexes)[0].unique);
    EXPECT_EQ((*indexes)[1].name, "mixed_b");
    EXPECT_FALSE((*indexes)[1].unique);
    EXPECT_EQ((*indexes)[1].columns, (std::vector<std::string>{"v", "(expression)", "c"}));
}

TEST_F(PostgresStorage, AWriterWaitsForLockedRowsOnlyTheLockWait) {
    std::string error;
    storage_ = make_postgres_storage(std::getenv("KL_PG_DSN"), error, 1);
    ASSERT_TRUE(storage_) << error;
    auto a = client();
    auto b = client();
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->begin_transaction());
    ASSERT_TRUE(a->exec("UPDATE t SET name = 'x' WHERE id = 1"));
    EXPECT_FALSE(b->exec("UPDATE t SET name = 'y' WHERE id = 1")); // a second later
    EXPECT_EQ(b->last_fault(), StorageFault::conflict) << b->last_error();
    EXPECT_TRUE(a->end_transaction(true));
    EXPECT_TRUE(b->exec("UPDATE t SET name = 'y' WHERE id = 1"));
}

} // namespace
} // namespace kls

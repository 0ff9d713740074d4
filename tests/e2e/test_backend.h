// The storage the end-to-end tests run on: SQLite files in each test's
// folder, or, when KL_TEST_BACKEND=postgres, PostgreSQL.  Then KL_PG_DSN is
// the administrative DSN of a throwaway cluster, the test program makes a
// database of its own there (dropped when it ends) and every test fresh
// schemas in it; clients log in as KL_PG_TEST_USER with the password
// KL_PG_TEST_PASSWORD, which the environment files carry.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "storage.h"
#include "users.h"

namespace kl::test {

bool on_postgres();
// The storage over data (an existing folder) or the test program's
// PostgreSQL database.
// (a SQLite write waits up to write_wait_seconds for another connection's;
// users, when set, is the SQLite users file).
std::shared_ptr<kls::Storage> make_test_storage(const std::filesystem::path& data,
                                                int write_wait_seconds,
                                                std::shared_ptr<const kls::UserFile> users = {});
// The user name and password clients log in with ("tester" and "" on
// SQLite).
std::string test_user();
std::string test_password();

} // namespace kl::test

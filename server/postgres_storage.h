// The server's tables in a PostgreSQL database: each database a client
// names is a schema, and each client instance its own PostgreSQL
// connection, logged in as the client's user.
#pragma once

#include <memory>
#include <string>

#include "storage.h"

namespace kls {

// The storage of the PostgreSQL database the DSN (a libpq connection
// string or URI) names; its user is the server's administrative login.
// Connects once to check the DSN: nullptr with the reason in error when it
// does not connect.  The reason never carries a password.  A client's
// statement waits at most lock_wait_seconds for rows another connection
// has locked (0: no limit), then fails as a conflict.
std::unique_ptr<Storage> make_postgres_storage(const std::string& dsn, std::string& error,
                                               int lock_wait_seconds = 30);

} // namespace kls

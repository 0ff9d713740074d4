// Transactions and writes of an instance.  BEGIN opens the client's
// transaction; its database transaction starts with the first write, when
// the file's write turn is taken (see write_lock.h), and ends with COMMIT,
// ROLLBACK, disconnect or an idle roll-back.  Reads before the first write
// see the rows as last committed.  Starting the database transaction only
// once the turn is held means no other write can come between a
// transaction's snapshot and its first write, which SQLite would refuse.
#pragma once

#include <string_view>

#include "session.h"

namespace kls {

// Readies a write through instance: refuses a read-only instance (20008),
// takes the file's write turn, waiting at most the server's write wait
// (20027 when it runs out), and inside a transaction starts the database
// transaction.  False after answering the request with the refusal.
bool begin_write(Exchange& ex, Instance& instance);

// BEGIN, COMMIT or ROLLBACK from a client.  A COMMIT that fails leaves the
// transaction open.
Status transaction_command(Instance& instance, std::string_view command);

// Rolls back whatever the instance has open and gives its turn back.
void end_transaction(Instance& instance);

} // namespace kls

#include "transaction.h"

#include <sqlite3.h>

#include <chrono>
#include <string>

#include "server_errors.h"

namespace kls {

namespace {

bool database_transaction_open(const Instance& instance) {
    return sqlite3_get_autocommit(instance.db->handle()) == 0;
}

} // namespace

bool begin_write(Exchange& ex, Instance& instance) {
    if (instance.read_only) {
        ex.answer(error_status(err_read_only, "read-only"));
        return false;
    }
    const auto wait = std::chrono::seconds(ex.session.state().config.write_wait_seconds);
    switch (instance.write_hold.take(ex.session.state().write_turns.of(instance.path), instance.id,
                                     &ex.session, wait)) {
    case FileTurn::Result::taken:
        break;
    case FileTurn::Result::timed_out:
        ex.answer(error_status(err_write_wait, "another session writes"));
        return false;
    case FileTurn::Result::held_by_self:
        // Another instance of this connection holds the turn inside its
        // transaction; this connection is the only one that could end it.
        ex.answer(error_status(err_write_wait, "own other instance writes"));
        return false;
    }
    if (instance.in_transaction && !database_transaction_open(instance)) {
        std::string why;
        if (!instance.db->exec("BEGIN IMMEDIATE", why)) {
            ex.answer(error_status(err_storage, why));
            return false;
        }
    }
    return true;
}

Status transaction_command(Instance& instance, std::string_view command) {
    const bool begin = command == "BEGIN";
    if (begin == instance.in_transaction)
        return error_status(err_command, begin ? "transaction open" : "no transaction");
    instance.idle_rolled_back = false;
    if (begin) {
        instance.in_transaction = true;
        return Status{};
    }
    if (database_transaction_open(instance)) {
        std::string why;
        const bool done = instance.db->exec(std::string(command), why);
        if (!done && database_transaction_open(instance)) return error_status(err_storage, why);
        if (!done) {
            // The database ended the transaction itself (rolled it back).
            instance.in_transaction = false;
            return error_status(err_storage, why);
        }
    }
    instance.in_transaction = false;
    return Status{};
}

void end_transaction(Instance& instance) {
    if (instance.db && database_transaction_open(instance)) {
        std::string ignored;
        instance.db->exec("ROLLBACK", ignored);
    }
    instance.in_transaction = false;
    instance.write_hold.release();
}

} // namespace kls

#include "transaction.h"

#include <chrono>
#include <string>

#include "server_errors.h"

namespace kls {

namespace {

bool database_transaction_open(const Instance& instance) {
    return instance.db->transaction_open();
}

} // namespace

bool begin_write(Exchange& ex, Instance& instance) {
    if (instance.read_only) {
        ex.answer(error_status(err_read_only, "read-only"));
        return false;
    }
    const std::string turn = instance.db->write_turn_name();
    const auto wait = std::chrono::seconds(ex.session.state().config.write_wait_seconds);
    const auto taken = turn.empty()
                           ? FileTurn::Result::taken
                           : instance.write_hold.take(ex.session.state().write_turns.of(turn),
                                                      instance.id, &ex.session, wait);
    switch (taken) {
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
    if (instance.in_transaction && !database_transaction_open(instance) &&
        !instance.db->begin_transaction()) {
        ex.answer(storage_error(*instance.db));
        return false;
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
        const bool done = instance.db->end_transaction(command == "COMMIT");
        if (!done && database_transaction_open(instance)) return storage_error(*instance.db);
        if (!done) {
            // The database ended the transaction itself (rolled it back).
            instance.in_transaction = false;
            return storage_error(*instance.db);
        }
    }
    instance.in_transaction = false;
    return Status{};
}

void end_transaction(Instance& instance) {
    if (instance.db && database_transaction_open(instance)) instance.db->end_transaction(false);
    instance.in_transaction = false;
    instance.write_hold.release();
}

} // namespace kls

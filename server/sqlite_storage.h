// SQLite database files in the server's data folder: the default storage.
#pragma once

#include <memory>
#include <string>

#include "storage.h"

namespace kls {

class UserFile;

struct SqliteOptions {
    std::string data_dir; // a real path (see prepare_folders)
    // How long a write waits for another connection's write to the same
    // file inside SQLite (the server's write turns make this rare).
    int busy_timeout_ms = 2000;
    // Who may connect (see users.h); nullptr accepts every user.
    std::shared_ptr<const UserFile> users = nullptr;
};

std::unique_ptr<Storage> make_sqlite_storage(SqliteOptions options);

// Opens one database file directly (tests, tools); nullptr with the reason
// in error.
std::unique_ptr<Database> open_sqlite_file(const std::string& path, bool read_only,
                                           std::string& error);

} // namespace kls

// klserver: the reference dispatcher and server.  See docs/server.md.
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

#include "listener.h"
#include "postgres_storage.h"
#include "sample.h"
#include "sqlite_storage.h"
#include "users.h"

namespace {

kls::Server* running = nullptr;

void on_signal(int) {
    if (running != nullptr) running->stop();
}

int usage() {
    std::fprintf(stderr,
                 "usage: klserver --data DIR [--address A] [--port N] [--server-port N]\n"
                 "                [--host-type 1|2] [--standalone] [--export DIR] "
                 "[--port-file FILE]\n"
                 "                [--max-sessions N] [--max-pending N] [--max-instances N]\n"
                 "                [--max-cursors N] [--login-timeout S] [--record-timeout S]\n"
                 "                [--idle-timeout S] [--idle-in-transaction S] [--write-wait S]\n"
                 "                [--max-request-memory BYTES[K|M|G]]\n"
                 "                [--backend sqlite|postgres] [--dsn DSN] [--users FILE]\n"
                 "       klserver --create-sample FILE [--rows N]\n"
                 "       klserver --backend postgres --dsn DSN --create-sample SCHEMA [--rows N]\n"
                 "       klserver --add-user NAME --users FILE   (password on standard input)\n"
                 "       (--data DIR may be left out on postgres when --export DIR is given)\n");
    return 2;
}

bool number(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    out = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && out >= low && out <= high;
}

// A size in bytes with an optional K, M or G suffix (powers of 1024).
bool size(const char* text, std::size_t& out) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (end == text || text[0] == '-') return false;
    int shift = 0;
    if (*end == 'K' || *end == 'k') shift = 10;
    if (*end == 'M' || *end == 'm') shift = 20;
    if (*end == 'G' || *end == 'g') shift = 30;
    if (shift != 0) ++end;
    if (*end != '\0' || n == 0 || n > (std::uint64_t{1} << 40 >> shift)) return false;
    out = static_cast<std::size_t>(n << shift);
    return true;
}

// The integer options: name, lowest and highest value, where it goes.
struct IntOption {
    const char* name;
    long low;
    long high;
    int kls::ServerConfig::*field;
};
constexpr long day = 86400;
constexpr IntOption int_options[] = {
    {"--max-sessions", 1, 100000, &kls::ServerConfig::max_sessions},
    {"--max-pending", 1, 100000, &kls::ServerConfig::max_pending},
    {"--max-instances", 1, 100000, &kls::ServerConfig::max_instances},
    {"--max-cursors", 1, 1000000, &kls::ServerConfig::max_cursors},
    {"--login-timeout", 1, day, &kls::ServerConfig::login_timeout_seconds},
    {"--record-timeout", 1, day, &kls::ServerConfig::record_timeout_seconds},
    {"--idle-timeout", 0, 365 * day, &kls::ServerConfig::idle_timeout_seconds},
    {"--idle-in-transaction", 0, day, &kls::ServerConfig::idle_in_transaction_seconds},
    {"--write-wait", 0, day, &kls::ServerConfig::write_wait_seconds},
};

const IntOption* int_option(const std::string& name) {
    for (const IntOption& o : int_options)
        if (name == o.name) return &o;
    return nullptr;
}

// One line of standard input, its newline removed; on a terminal the
// typing is not echoed.  False at end of input.
bool read_password(const std::string& user, std::string& password) {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fprintf(stderr, "password for %s: ", user.c_str());
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, password));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    return read;
}

int add_user(const std::string& name, const std::string& users_file) {
    std::string password;
    if (!read_password(name, password)) {
        std::fprintf(stderr, "klserver: no password on standard input\n");
        return 1;
    }
    std::string error;
    if (!kls::add_user(users_file, name, password, error)) {
        std::fprintf(stderr, "klserver: %s\n", error.c_str());
        return 1;
    }
    std::printf("klserver: user %s written to %s\n", name.c_str(), users_file.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    kls::ServerConfig config;
    std::string address = "127.0.0.1";
    std::string port_file;
    std::string sample;
    std::string backend = "sqlite";
    const char* dsn_variable = std::getenv("KL_PG_DSN");
    std::string dsn = dsn_variable != nullptr ? dsn_variable : "";
    std::string new_user;
    std::string users_file;
    long port = 0;
    long server_port = 0;
    long rows = 5000;
    // The options that take any text: name and where it goes.
    const std::pair<const char*, std::string*> text_options[] = {
        {"--data", &config.data_dir},
        {"--export", &config.export_dir},
        {"--address", &address},
        {"--port-file", &port_file},
        {"--create-sample", &sample},
        {"--backend", &backend},
        {"--dsn", &dsn},
        {"--add-user", &new_user},
        {"--users", &users_file},
    };
    const auto text_option = [&text_options](const std::string& name) -> std::string* {
        for (const auto& [option, value] : text_options)
            if (name == option) return value;
        return nullptr;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        long host_type = 1;
        if (arg == "--standalone") {
            config.standalone = true;
        } else if (!has_value) {
            return usage();
        } else if (std::string* value = text_option(arg)) {
            *value = argv[++i];
        } else if (arg == "--port") {
            if (!number(argv[++i], 0, 65535, port)) return usage();
        } else if (arg == "--server-port") {
            if (!number(argv[++i], 0, 65535, server_port)) return usage();
        } else if (arg == "--rows") {
            if (!number(argv[++i], 0, 10000000, rows)) return usage();
        } else if (const IntOption* o = int_option(arg)) {
            long value = 0;
            if (!number(argv[++i], o->low, o->high, value)) return usage();
            config.*(o->field) = static_cast<int>(value);
        } else if (arg == "--max-request-memory") {
            if (!size(argv[++i], config.max_request_memory)) return usage();
        } else if (arg == "--host-type") {
            if (!number(argv[++i], 1, 2, host_type)) return usage();
            config.big_endian = host_type == 2;
        } else {
            return usage();
        }
    }
    if (backend != "sqlite" && backend != "postgres") return usage();

    if (!new_user.empty()) return users_file.empty() ? usage() : add_user(new_user, users_file);
    if (!users_file.empty() && backend == "postgres") {
        std::fprintf(stderr, "klserver: --users is for the SQLite backend; PostgreSQL checks "
                             "logins itself\n");
        return 2;
    }
    // On PostgreSQL the server logs in with the DSN's own user for its own
    // work (the sample); client instances log in as their users.
    std::shared_ptr<kls::Storage> postgres;
    if (backend == "postgres") {
        if (dsn.empty()) {
            std::fprintf(stderr, "klserver: --backend postgres needs --dsn or KL_PG_DSN\n");
            return 2;
        }
        std::string error;
        // A statement waits for another connection's row locks as long as a
        // write waits for its turn on SQLite.
        postgres = kls::make_postgres_storage(dsn, error, config.write_wait_seconds);
        if (!postgres) {
            std::fprintf(stderr, "klserver: PostgreSQL: %s\n", error.c_str());
            return 1;
        }
        config.storage = postgres;
    }

    if (!sample.empty()) {
        std::string error;
        // SQLite: FILE is a path; PostgreSQL: the name of a schema.
        const std::filesystem::path file(sample);
        const std::shared_ptr<kls::Storage> storage =
            postgres
                ? postgres
                : kls::make_sqlite_storage(
                      {file.has_parent_path() ? file.parent_path().string() : std::string(".")});
        if (!kls::create_sample(*storage, postgres ? sample : file.filename().string(),
                                static_cast<int>(rows), error)) {
            std::fprintf(stderr, "klserver: cannot create %s: %s\n", sample.c_str(), error.c_str());
            return 1;
        }
        std::printf("klserver: sample database %s written (%ld orders)\n", sample.c_str(), rows);
        return 0;
    }
    if (config.data_dir.empty() && (!postgres || config.export_dir.empty())) return usage();
    if (!users_file.empty()) {
        std::string error;
        std::optional<kls::UserFile> users = kls::UserFile::load(users_file, error);
        if (!users) {
            std::fprintf(stderr, "klserver: --users: %s\n", error.c_str());
            return 1;
        }
        config.users = std::make_shared<const kls::UserFile>(std::move(*users));
    }
    // start() makes the export folder (default: exports under the data
    // folder) and refuses one that is the data folder itself.
    kls::Server server(config);
    std::string error;
    if (!server.start(address, static_cast<std::uint16_t>(port),
                      static_cast<std::uint16_t>(server_port), error)) {
        std::fprintf(stderr, "klserver: %s\n", error.c_str());
        return 1;
    }
    running = &server;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    if (!port_file.empty()) {
        std::ofstream(port_file) << server.dispatcher_port() << "\n";
    }
    std::printf("klserver: dispatcher on %s:%u, %s, %s-endian numbers, data in %s\n",
                address.c_str(), server.dispatcher_port(),
                config.standalone ? "standalone"
                                  : ("server port " + std::to_string(server.server_port())).c_str(),
                config.big_endian ? "big" : "little",
                postgres ? "PostgreSQL" : config.data_dir.c_str());
    if (config.users)
        std::printf("klserver: logins checked against %s (%zu users)\n", users_file.c_str(),
                    config.users->size());
    std::fflush(stdout);
    server.run();
    running = nullptr;
    return 0;
}

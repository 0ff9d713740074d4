// One client of the load run (scripts/load.sh), built against the public
// header only, as an application is.
//
//   load_client ENV CLIENT SECONDS LOG   inserts orders rows for SECONDS and
//       reads each one back by its key; each row read back exactly once is
//       written to LOG as "CLIENT SEQUENCE".  Prints its counts; exits 1 when
//       any call failed.
//   load_client ENV --verify LOGS...     reads back every row of the load
//       (customer >= 1000000) and checks that each logged insert is there
//       exactly once and that no other row is.  Exits 1 otherwise.
//   load_client ENV --connect OPTIONS    connects once with klconnect's
//       OPTIONS (an access mode), prints "error N" (0: connected) and
//       disconnects.  Exits 0 when connected.
//   load_client ENV --hold OPTIONS       connects, prints "held" and keeps
//       the instance until its standard input closes.  Exits 1 when the
//       connect failed (after printing "error N").
// Every connect uses the user name in KL_LOAD_USER (default "load"); the
// password is the environment file's.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "klsrv32.h"

namespace {

// Customers of the load start here, so its rows never mix with the sample's.
constexpr long first_customer = 1000000;
// An INTEGER in a character-form row: its decimal text in 32 characters.
constexpr std::size_t number_width = 32;

struct Connection {
    kl_long instance = 0;
    kl_long cursor = 0;
};

std::string message(klstatus status) {
    char text[256] = {};
    klerror(&status, "", text);
    // and the server's context text, when it sent one
    const std::string context(status.buffer, strnlen(status.buffer, sizeof status.buffer));
    return std::to_string(status.error) + " " + text + (context.empty() ? "" : ": " + context);
}

const char* user() {
    const char* name = std::getenv("KL_LOAD_USER");
    return name != nullptr ? name : "load";
}

bool connect(const char* environment, Connection& c) {
    klstatus st{};
    if (klconnect(environment, "", &st, user(), "", &c.instance) != 0 ||
        klopencursor(c.instance, "", &st, &c.cursor) != 0) {
        std::fprintf(stderr, "load_client: connect: %s\n", message(st).c_str());
        return false;
    }
    return true;
}

std::string number_field(long v) {
    std::string text = std::to_string(v);
    text.append(number_width - text.size(), ' ');
    return text;
}

// Fetches the (customer, product) pairs of the cursor's selection.
bool fetch_pairs(kl_long cursor, std::vector<std::pair<long, long>>& pairs) {
    constexpr int batch = 100;
    constexpr std::size_t record = 2 * number_width;
    std::vector<char> area(batch * KL_MAX_RECORD_BYTES);
    for (;;) {
        klstatus st{};
        const uint32_t r = klfetch(cursor, "", &st, batch, area.data());
        for (int k = 0; k < st.count; ++k) {
            const char* at = area.data() + k * record;
            pairs.emplace_back(
                std::strtol(std::string(at, number_width).c_str(), nullptr, 10),
                std::strtol(std::string(at + number_width, number_width).c_str(), nullptr, 10));
        }
        if (r != 0) return st.error == 11032; // the end of the selection
        if (st.count < batch) return true;
    }
}

int run_client(const char* environment, long client, int seconds, const char* log_path) {
    Connection c;
    if (!connect(environment, c)) return 1;
    std::ofstream log(log_path);
    const long customer = first_customer + client;
    // The row in character form: id, customer, product, quantity (numbers),
    // ordered (8), note (40); only customer, product, quantity and note are
    // written.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    long inserted = 0, read = 0, failed = 0;
    for (long sequence = 1; std::chrono::steady_clock::now() < deadline; ++sequence) {
        const std::string row = number_field(0) + number_field(customer) + number_field(sequence) +
                                number_field(sequence % 7) + std::string(8, ' ') +
                                std::string("load").append(36, ' ');
        klstatus st{};
        if (klinsert(c.instance, "CHAR", &st, "orders", "customer,product,quantity,note",
                     row.c_str()) != 0) {
            std::fprintf(stderr, "load_client %ld: insert %ld: %s\n", client, sequence,
                         message(st).c_str());
            ++failed;
            continue;
        }
        ++inserted;
        const std::string criteria =
            "customer = " + std::to_string(customer) + " AND product = " + std::to_string(sequence);
        std::vector<std::pair<long, long>> found;
        if (klselect(c.cursor, "CHAR", &st, "orders", "customer,product", criteria.c_str()) != 0 ||
            !fetch_pairs(c.cursor, found)) {
            std::fprintf(stderr, "load_client %ld: read %ld: %s\n", client, sequence,
                         message(st).c_str());
            ++failed;
            continue;
        }
        if (found.size() != 1) {
            std::fprintf(stderr, "load_client %ld: row %ld found %zu times\n", client, sequence,
                         found.size());
            ++failed;
            continue;
        }
        ++read;
        log << client << ' ' << sequence << '\n';
    }
    klstatus st{};
    kldisconnect(c.instance, "", &st);
    std::printf("client %ld: inserted %ld, read back %ld, failed %ld\n", client, inserted, read,
                failed);
    return failed == 0 && log.good() ? 0 : 1;
}

int verify(const char* environment, int log_count, char** logs) {
    std::map<std::pair<long, long>, int> expected;
    for (int k = 0; k < log_count; ++k) {
        std::ifstream log(logs[k]);
        long client = 0, sequence = 0;
        while (log >> client >> sequence)
            expected[{first_customer + client, sequence}] = 0;
    }
    Connection c;
    if (!connect(environment, c)) return 1;
    klstatus st{};
    std::vector<std::pair<long, long>> rows;
    const std::string criteria = "customer >= " + std::to_string(first_customer);
    if (klselect(c.cursor, "CHAR", &st, "orders", "customer,product", criteria.c_str()) != 0 ||
        !fetch_pairs(c.cursor, rows)) {
        std::fprintf(stderr, "load_client: verify: %s\n", message(st).c_str());
        return 1;
    }
    long unexpected = 0;
    for (const auto& row : rows) {
        auto it = expected.find(row);
        if (it == expected.end())
            ++unexpected;
        else
            ++it->second;
    }
    long missing = 0, twice = 0;
    for (const auto& [key, seen] : expected) {
        if (seen == 0) ++missing;
        if (seen > 1) ++twice;
    }
    std::printf("verify: %zu inserts logged, %zu rows of the load found: %ld missing, %ld found "
                "more than once, %ld not logged\n",
                expected.size(), rows.size(), missing, twice, unexpected);
    kldisconnect(c.instance, "", &st);
    return missing == 0 && twice == 0 && unexpected == 0 ? 0 : 1;
}

// One connect with OPTIONS; with hold, the instance stays until standard
// input closes.
int connect_once(const char* environment, const char* options, bool hold) {
    klstatus st{};
    kl_long instance = 0;
    klconnect(environment, options, &st, user(), "", &instance);
    std::printf("error %d\n", static_cast<int>(st.error));
    if (st.error != 0) {
        std::fprintf(stderr, "load_client: connect %s: %s\n", options, message(st).c_str());
        return 1;
    }
    if (hold) {
        std::printf("held\n");
        std::fflush(stdout);
        std::cin.ignore(std::numeric_limits<std::streamsize>::max());
    }
    kldisconnect(instance, "", &st);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[2], "--verify") == 0)
        return verify(argv[1], argc - 3, argv + 3);
    if (argc == 4 &&
        (std::strcmp(argv[2], "--connect") == 0 || std::strcmp(argv[2], "--hold") == 0))
        return connect_once(argv[1], argv[3], argv[2][2] == 'h');
    if (argc != 5) {
        std::fprintf(stderr, "usage: load_client ENV CLIENT SECONDS LOG\n"
                             "       load_client ENV --verify LOGS...\n"
                             "       load_client ENV --connect|--hold OPTIONS\n");
        return 2;
    }
    return run_client(argv[1], std::atol(argv[2]), std::atoi(argv[3]), argv[4]);
}

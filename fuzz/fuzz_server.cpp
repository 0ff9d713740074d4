// Client requests of any content on one connection to the reference
// server: the session neither crashes nor hangs, and every answer it sends
// is a well-framed record of a size the library reads.
//
// Input: byte 0 chooses the server's byte order (bit 0), a read-only
// connect (bit 1) and a select made before the input's requests (bits 2-3:
// none, orders, customers, products).  Then requests, each a 2-byte
// little-endian length (bits 0-11; bit 15 sends the record in two
// fragments), a control byte and that many payload bytes.  Control bits
// 0-2, when not 0, put identifier k at offset 2, where every request that
// names an instance or cursor has it: a run's server hands out
// identifiers from 1, so the connect made first is instance 1 and its
// cursor is 2.  Control bits 3-7, when not 0, put the k-th function code
// at offset 0 in the server's byte order.
//
// Each run serves a fresh copy of a small sample database, so runs do not
// depend on what earlier runs wrote.  fuzz/seeds/make_server_seeds.py
// writes the seeds: one valid session per function code, in both byte
// orders.

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "peer/framing.h"
#include "protocol.h"
#include "sample.h"
#include "session.h"
#include "sqlite_storage.h"
#include "wire.h"

namespace {

namespace fs = std::filesystem;
using kls::Bytes;

const auto& codes = protocol::function_codes;
constexpr std::size_t length_mask = 0x0FFF;
constexpr std::uint16_t two_fragments = 0x8000;
// External output the harness lets through per request.  The server
// streams up to 16 MiB of it one record at a time, which costs only time;
// larger lengths are kept, so their refusal stays reachable.
constexpr std::int32_t output_cap = 1 << 16;
constexpr std::int32_t output_limit = 16 << 20;

struct Folders {
    fs::path root, data, exports, database, pristine;
};

Folders& folders() {
    static Folders f = [] {
        // A memory file system when there is one: SQLite syncs its commits.
        std::error_code ec;
        const fs::path base =
            fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        const fs::path root = base / ("fuzz_server." + std::to_string(::getpid()));
        const Folders made{root, root / "data", root / "exports", root / "data" / "sales.db",
                           root / "pristine.db"};
        fs::create_directories(made.data);
        fs::create_directories(made.exports);
        std::string error;
        const auto storage = kls::make_sqlite_storage({made.data.string()});
        if (!kls::create_sample(*storage, "sales", 50, error)) {
            std::fprintf(stderr, "sample database: %s\n", error.c_str());
            std::abort();
        }
        fs::copy_file(made.database, made.pristine);
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(folders().root, ignored);
        });
        return made;
    }();
    return f;
}

// Puts back the pristine database and empties the export folder.
void restore(const Folders& f) {
    std::error_code ec;
    for (const fs::path& dir : {f.data, f.exports})
        for (const auto& entry : fs::directory_iterator(dir, ec))
            fs::remove_all(entry.path(), ec);
    fs::copy_file(f.pristine, f.database, ec);
}

// Frames payload as a client does, in one or two fragments.
void frame(Bytes& stream, const Bytes& payload, bool split = false) {
    const Bytes body = kl::test::record_body(payload);
    for (const Bytes& piece : kl::test::fragments(body, {split ? body.size() / 2 : body.size()}))
        stream.insert(stream.end(), piece.begin(), piece.end());
}

void put_code(Bytes& payload, std::uint16_t code, bool big) {
    if (payload.size() < 2) payload.resize(2, 0);
    payload[0] = static_cast<std::uint8_t>(big ? code >> 8 : code);
    payload[1] = static_cast<std::uint8_t>(big ? code : code >> 8);
}

void put_id(Bytes& payload, std::uint32_t id) {
    if (payload.size() < 6) payload.resize(6, 0);
    kls::put_i32(payload.data() + 2, static_cast<std::int32_t>(id), true);
}

Bytes request(std::uint16_t code, bool big, std::uint32_t id, const std::vector<std::string>& texts,
              std::size_t zeros = 0) {
    Bytes r;
    put_code(r, code, big);
    if (id != 0) put_id(r, id);
    for (const std::string& text : texts) // with its NUL
        r.insert(r.end(), text.c_str(), text.c_str() + text.size() + 1);
    r.resize(r.size() + zeros, 0);
    return r;
}

// The client's stream: the preamble, then the input's requests.
Bytes client_stream(const std::uint8_t* data, std::size_t size, bool big) {
    Bytes stream;
    const std::uint8_t setup = data[0];
    frame(stream, request(protocol::code_connect, big, 0,
                          {"sales", "fuzz", "", (setup & 2) != 0 ? "R" : ""}));
    frame(stream, request(protocol::code_open_cursor, big, 1, {}, 80));
    static const char* const tables[] = {nullptr, "orders", "customers", "products"};
    if (const char* table = tables[(setup >> 2) & 3])
        frame(stream, request(protocol::code_select, big, 2, {table, "*", "", ""}));

    for (std::size_t at = 1; at + 3 <= size;) {
        const std::uint16_t word = static_cast<std::uint16_t>(data[at] | (data[at + 1] << 8));
        const std::uint8_t control = data[at + 2];
        at += 3;
        const std::size_t n = std::min<std::size_t>(word & length_mask, size - at);
        Bytes payload(data + at, data + at + n);
        at += n;
        if (const std::uint8_t code = control >> 3; code != 0)
            put_code(payload, codes[(code - 1) % std::size(codes)], big);
        if (const std::uint8_t id = control & 7; id != 0) put_id(payload, id);
        // 326 may ask for 16 MiB of output: let through up to output_cap.
        if (payload.size() >= 14) {
            const auto code = static_cast<std::uint16_t>(big ? (payload[0] << 8) | payload[1]
                                                             : (payload[1] << 8) | payload[0]);
            const std::int32_t out = kls::get_i32(payload.data() + 10, big);
            if (code == protocol::code_external && out > output_cap && out <= output_limit)
                kls::put_i32(payload.data() + 10, out % output_cap, big);
        }
        frame(stream, payload, (word & two_fragments) != 0);
    }
    return stream;
}

// Sends or receives exactly n bytes; false when the connection ended.
bool transfer(int fd, bool send, std::uint8_t* at, std::size_t n) {
    while (n > 0) {
        const ssize_t done = send ? ::send(fd, at, n, MSG_NOSIGNAL) : ::recv(fd, at, n, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        at += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "bad answer: %s\n", what);
    std::abort();
}

// Reads the server's answers until it closes, and checks each record: a
// fragment header with only the length and the last-fragment bit, a
// length word inside the record, zero padding to a multiple of 4, and a
// payload of the 8-byte host version or a status record and at most 2048
// bytes in all (what the library reads of one answer).
void check_answers(int fd) {
    for (;;) {
        // A header with bits above the flag set reads as a length past the
        // limit, so it fails here too.
        const kl::test::ReadFragments read = kl::test::read_fragments(
            [fd](std::uint8_t* to, std::size_t n) { return transfer(fd, false, to, n); }, 4096);
        if (!read.started) return; // the server closed between records
        if (!read.complete) fault("record cut off, or a fragment header or length out of range");
        const auto payload = kl::test::body_payload(read.body);
        if (!payload) fault("no length word, or a length word past the record");
        if (kl::test::record_body(*payload) != read.body) fault("padding");
        const std::size_t length = payload->size();
        if (length != 8 && (length < kls::status_size || length > protocol::record_area_size))
            fault("payload size");
        if (length >= kls::status_size && (*payload)[kls::status_size - 1] != 0)
            fault("context text without its NUL");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    Folders& f = folders();
    restore(f);
    const bool big = (data[0] & 1) != 0;
    Bytes stream = client_stream(data, size, big);

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    std::thread reader([fd = fds[1]] { check_answers(fd); });
    std::thread writer([fd = fds[1], &stream] {
        transfer(fd, true, stream.data(), stream.size()); // stops where the server ended
        ::shutdown(fd, SHUT_WR);
    });
    {
        kls::ServerState state;
        state.config.data_dir = f.data.string();
        state.config.export_dir = f.exports.string();
        state.config.big_endian = big;
        // Two instances of one session can wait on each other's writes:
        // they fail at once rather than after a wait.
        state.config.write_wait_seconds = 0;
        state.config.storage = kls::make_sqlite_storage({f.data.string(), 0});
        kls::Channel channel(fds[0]);
        kls::Session session(channel, state);
        session.run();
    } // the channel closes the server's end
    writer.join();
    reader.join();
    ::close(fds[1]);
    return 0;
}

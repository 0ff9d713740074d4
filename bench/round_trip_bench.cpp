// Round-trip benchmark: what the library adds to a request's round trip,
// measured against a plain TCP exchange of the same bytes over loopback in
// the same run.
//
// Three ways of moving the same bytes are timed:
//   plain    a client and a server thread of this program on 127.0.0.1,
//            TCP_NODELAY on both ends; the request bytes leave with one
//            send, the answer bytes with one send;
//   peer     the same client against the scripted test peer, without the
//            library: the share of the round trip the test peer itself
//            costs (its threads, its lock, its recording of every request);
//   library  the library's calls against the test peer.
// The request bytes of the plain and peer runs are the bytes the test peer
// recorded from the library's own request (fragment headers, length word
// and padding included); the answer bytes are the peer's answer as it
// travels: one fragment header, the length word, the status and data, the
// padding.  The three are run in alternating batches, so drift in the
// machine's speed falls on all of them alike.
//
// Where the threads run decides the figures more than anything else: a
// thread woken on another CPU starts tens of microseconds later than one
// woken on its own, and left to the scheduler the client and the server
// of an exchange land now on one CPU, now on two, so medians swing
// several-fold from run to run.  The program therefore runs every thread
// on one CPU: the figures are the work done, system calls and switches
// included, and repeat closely.  (On two CPUs, as a client and a server
// on two machines would be, the library's share only shrinks.)
//
// Scenarios:
//   (a) klopencursor + klclosecursor: two round trips per sample;
//   (b) one 2400-byte request through exchange_request, which the record
//       stream cuts into three fragments and sends with three send calls,
//       first through the test peer, then (b') against a server that does
//       exactly what the plain ping-pong's server does.  The target: the
//       median of (b') within twice the plain median.
//
// Usage: round_trip_bench [--check] [--samples N]
// Exit status 0 whatever the figures; with --check, 1 when (b) misses its
// target.  2 when the benchmark cannot measure what it claims to (a call
// fails, a request does not take the expected shape on the wire).

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "klsrv32.h"
#include "peer/framing.h"
#include "peer/test_peer.h"
#include "transport/exchange.h"
#include "transport/host_connection.h"

namespace {

using kl::test::Bytes;
using kl::test::StatusRecord;
using kl::test::Step;
using Clock = std::chrono::steady_clock;

constexpr std::size_t warmup_samples = 200;
constexpr std::size_t default_samples = 2000;
constexpr std::size_t batch_size = 200;
constexpr std::size_t multi_fragment_request_size = 2400;
constexpr std::size_t expected_fragments = 3;
constexpr double target_ratio = 2.0;
constexpr double stall_us = 10'000.0; // a delayed acknowledgement holds a segment ~40 ms
constexpr unsigned watchdog_seconds = 60;

// Leaves at once: the test peer's and the plain server's threads are still
// running, and nothing they touch may be torn down under them.
[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "round_trip_bench: %s\n", what.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(2);
}

// An answer record as the test peer puts it on the wire when no fragment
// sizes are scripted: one fragment with the last flag, holding the length
// word, the payload and zero padding to a multiple of 4.
Bytes framed_answer(const Bytes& payload) {
    return kl::test::frame_record(payload, SIZE_MAX);
}

// The number of fragments a recorded request travelled in.  The headers
// must account for every byte, with the last flag on the last one only.
std::size_t count_fragments(const Bytes& raw) {
    std::size_t pos = 0;
    const kl::test::ReadFragments read = kl::test::read_fragments(
        [&](std::uint8_t* to, std::size_t n) {
            if (raw.size() - pos < n) return false;
            std::memcpy(to, raw.data() + pos, n);
            pos += n;
            return true;
        },
        raw.size());
    if (!read.complete) fail("recorded request ends inside a fragment");
    if (pos != raw.size()) fail("recorded request has bytes after its last fragment");
    return read.count;
}

// ---- thread placement ------------------------------------------------------------

// Binds the calling thread, and the threads it starts from then on, to the
// first CPU the process may use.  Returns that CPU, or -1 when the system
// does not allow it (the figures are then noisier, but still figures).
int bind_to_one_cpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return -1;
    int cpu = 0;
    while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &set))
        ++cpu;
    if (cpu == CPU_SETSIZE) return -1;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0 ? cpu : -1;
}

// ---- plain sockets ------------------------------------------------------------

void set_nodelay(int fd) {
    const int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        fail(std::string("TCP_NODELAY: ") + std::strerror(errno));
}

// False when the other end closed first.
bool recv_exact(int fd, std::uint8_t* out, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, out, n, 0);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// One send call for all the bytes; a blocking socket queues them whole.
bool send_once(int fd, const Bytes& bytes) {
    ssize_t sent;
    do {
        sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

int connect_loopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        fail(std::string("connect to 127.0.0.1: ") + std::strerror(errno));
    set_nodelay(fd);
    return fd;
}

// One request and its answer, as bytes on the wire.
struct Exchange {
    Bytes request;
    Bytes answer;
};

// The plain side: accepts one connection on 127.0.0.1 and serves it until
// the client closes, walking the pattern round and round: reads exactly
// the request's byte count, then sends the answer with one send.  An
// opening exchange, when given, is served once before the pattern (the
// library's connect request).
class PlainServer {
  public:
    explicit PlainServer(std::vector<Exchange> pattern, std::optional<Exchange> opening = {})
        : pattern_(std::move(pattern)), opening_(std::move(opening)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            fail(std::string("plain server cannot listen on 127.0.0.1: ") + std::strerror(errno));
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    // The client's close ends the serving thread.
    ~PlainServer() {
        thread_.join();
        ::close(listener_);
    }

    PlainServer(const PlainServer&) = delete;
    PlainServer& operator=(const PlainServer&) = delete;

    std::uint16_t port() const { return port_; }

  private:
    void serve() {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) fail(std::string("plain server accept: ") + std::strerror(errno));
        set_nodelay(fd);
        std::size_t longest = 0;
        for (const Exchange& e : pattern_)
            longest = std::max(longest, e.request.size());
        if (opening_) longest = std::max(longest, opening_->request.size());
        std::vector<std::uint8_t> scratch(longest);
        if (opening_ && (!recv_exact(fd, scratch.data(), opening_->request.size()) ||
                         !send_once(fd, opening_->answer)))
            fail("plain server: the opening exchange failed");
        for (std::size_t i = 0;; i = (i + 1) % pattern_.size()) {
            const Exchange& e = pattern_[i];
            if (!recv_exact(fd, scratch.data(), e.request.size())) break;
            if (!send_once(fd, e.answer)) fail("plain server: send failed");
        }
        ::close(fd);
    }

    std::vector<Exchange> pattern_;
    std::optional<Exchange> opening_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// The client of the plain and peer runs: each request with one send, each
// answer read in full and compared with the bytes expected, so a run that
// measured something else (a short answer, the wrong step) stops.
class RawClient {
  public:
    RawClient(std::uint16_t port, const std::vector<Exchange>& pattern)
        : fd_(connect_loopback(port)), pattern_(pattern) {
        std::size_t longest = 0;
        for (const Exchange& e : pattern_)
            longest = std::max(longest, e.answer.size());
        scratch_.resize(longest);
    }
    ~RawClient() { ::close(fd_); }

    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void round_trips() {
        for (const Exchange& e : pattern_) {
            if (!send_once(fd_, e.request)) fail("raw client: send failed");
            if (!recv_exact(fd_, scratch_.data(), e.answer.size()))
                fail("raw client: connection closed before the whole answer came");
            if (std::memcmp(scratch_.data(), e.answer.data(), e.answer.size()) != 0)
                fail("raw client: the answer is not the bytes expected");
        }
    }

  private:
    int fd_;
    const std::vector<Exchange>& pattern_;
    std::vector<std::uint8_t> scratch_;
};

// ---- figures ------------------------------------------------------------------

struct Figures {
    double median = 0, p90 = 0, p99 = 0, max = 0;
    std::size_t stalls = 0; // samples of stall_us or more
};

double nearest_rank(const std::vector<double>& sorted, double fraction) {
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()));
    return sorted[std::min(rank, sorted.size() - 1)];
}

Figures figures(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    Figures f;
    const std::size_t n = us.size();
    f.median = n % 2 ? us[n / 2] : (us[n / 2 - 1] + us[n / 2]) / 2;
    f.p90 = nearest_rank(us, 0.90);
    f.p99 = nearest_rank(us, 0.99);
    f.max = us.back();
    f.stalls =
        static_cast<std::size_t>(us.end() - std::lower_bound(us.begin(), us.end(), stall_us));
    return f;
}

// ---- scenarios ----------------------------------------------------------------

struct Variant {
    const char* label;
    bool via_peer; // consumes scripted steps
    std::function<void()> sample;
    std::vector<double> us;
};

struct Scenario {
    std::vector<Step> steps;       // the peer's steps for one library sample
    std::function<void()> library; // one library sample
    std::size_t requests_sent = 0; // to the peer, for the final count check
};

class Bench {
  public:
    Bench(kl::test::TestPeer& peer, std::size_t samples) : peer_(peer), samples_(samples) {}

    // Scripts the peer for count samples of one variant.
    void script(const Scenario& s, std::size_t count) {
        std::vector<Step> steps;
        steps.reserve(count * s.steps.size());
        for (std::size_t i = 0; i < count; ++i)
            steps.insert(steps.end(), s.steps.begin(), s.steps.end());
        peer_.script(std::move(steps));
    }

    // One library sample, then the bytes it put on the wire as the peer
    // recorded them, paired with the peer's framed answers.
    std::vector<Exchange> wire_pattern(Scenario& s) {
        const std::size_t before = peer_.requests().size();
        script(s, 1);
        s.library();
        const std::vector<kl::test::Request> recorded = peer_.requests();
        if (recorded.size() != before + s.steps.size())
            fail("the library's sample did not send one request per scripted step");
        std::vector<Exchange> pattern;
        for (std::size_t i = 0; i < s.steps.size(); ++i) {
            const Bytes& raw = recorded[before + i].raw;
            count_fragments(raw);
            pattern.push_back({raw, framed_answer(s.steps[i].answers.at(0).payload)});
        }
        return pattern;
    }

    // Warms every variant up, then takes the samples in batches, rotating
    // which variant goes first.
    void run(Scenario& s, std::vector<Variant>& variants) {
        auto batch = [&](Variant& v, std::size_t count, bool keep) {
            ::alarm(watchdog_seconds);
            if (v.via_peer) {
                script(s, count);
                s.requests_sent += count * s.steps.size();
            }
            for (std::size_t i = 0; i < count; ++i) {
                const auto start = Clock::now();
                v.sample();
                const auto end = Clock::now();
                if (keep)
                    v.us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
            }
        };
        for (Variant& v : variants)
            batch(v, warmup_samples, false);
        for (std::size_t done = 0, round = 0; done < samples_; done += batch_size, ++round) {
            const std::size_t count = std::min(batch_size, samples_ - done);
            for (std::size_t k = 0; k < variants.size(); ++k)
                batch(variants[(k + round) % variants.size()], count, true);
        }
    }

  private:
    kl::test::TestPeer& peer_;
    std::size_t samples_;
};

void check_call(std::uint32_t result, const klstatus& st, const char* call) {
    if (result != 0 || st.error != 0)
        fail(std::string(call) + " failed: result " + std::to_string(result) + ", error " +
             std::to_string(st.error) + ", info " + std::to_string(st.info));
}

std::string sizes(const std::vector<Exchange>& pattern, Bytes Exchange::*side) {
    std::string out;
    for (const Exchange& e : pattern)
        out += (out.empty() ? "" : " + ") + std::to_string((e.*side).size());
    return out;
}

// Prints the figures of every variant and each one's ratio of medians to
// the first (the plain ping-pong); returns the ratio of the last.
double report(const std::vector<Variant>& variants) {
    std::printf("    %-30s %9s %9s %9s %9s %8s  (microseconds)\n", "", "median", "p90", "p99",
                "max", "/ plain");
    std::vector<Figures> f;
    for (const Variant& v : variants)
        f.push_back(figures(v.us));
    for (std::size_t i = 0; i < variants.size(); ++i) {
        std::printf("    %-30s %9.1f %9.1f %9.1f %9.1f %8.2f\n", variants[i].label, f[i].median,
                    f[i].p90, f[i].p99, f[i].max, f[i].median / f[0].median);
    }
    for (std::size_t i = 0; i < variants.size(); ++i) {
        if (f[i].stalls > 0)
            std::printf("    note: %zu sample(s) of \"%s\" took %.0f ms or more; a stall of this "
                        "size is what a segment held back by Nagle's algorithm looks like\n",
                        f[i].stalls, variants[i].label, stall_us / 1000);
    }
    return f.back().median / f.front().median;
}

// Times the library through the test peer against the same exchanges
// without the library (the peer's own share) and against the plain
// ping-pong, then prints the figures under the heading.
void compare_through_peer(Bench& bench, kl::test::TestPeer& peer, Scenario& s,
                          const std::vector<Exchange>& pattern, const std::string& heading) {
    PlainServer plain(pattern);
    RawClient plain_client(plain.port(), pattern);
    RawClient peer_client(peer.server_port(), pattern);
    std::vector<Variant> variants = {
        {"plain TCP ping-pong", false, [&] { plain_client.round_trips(); }, {}},
        {"test peer, without library", true, [&] { peer_client.round_trips(); }, {}},
        {"library through test peer", true, s.library, {}}};
    bench.run(s, variants);
    std::printf("%s", heading.c_str());
    report(variants);
}

// A directory of its own standing for the Windows directory, so no
// talvern.ini from elsewhere switches tracing on.
struct PrivateDirectory {
    std::filesystem::path path;
    PrivateDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "klbench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) fail("cannot make a private directory");
        path = pattern;
    }
    ~PrivateDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

} // namespace

int main(int argc, char** argv) {
    bool check = false;
    std::size_t samples = default_samples;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--check") {
            check = true;
        } else if (arg == "--samples" && i + 1 < argc) {
            samples = std::strtoul(argv[++i], nullptr, 10);
            if (samples < 10) fail("--samples takes a count of 10 or more");
        } else {
            std::fprintf(stderr, "usage: %s [--check] [--samples N]\n", argv[0]);
            return 2;
        }
    }
    // A request the peer does not answer would block a call for good; the
    // alarm's default action ends the process instead.  Each batch sets it
    // afresh, so long runs are not cut short.
    ::alarm(watchdog_seconds);

    const int cpu = bind_to_one_cpu();
    kl::test::TestPeer peer;
    PrivateDirectory dir;
    ::setenv("KL_WINDIR", dir.path.c_str(), 1);
    const std::filesystem::path environment = dir.path / "bench.env";
    std::ofstream(environment) << "[environment]\nname=bench\n[include]\nNode=BENCH\n"
                                  "filename=sales.db\n[Node BENCH]\ntransport=tcpsockets\n"
                                  "ipaddress=127.0.0.1\nport="
                               << peer.dispatcher_port() << "\n";

    const bool big_endian = false; // the peer's default dispatcher reply: host type 1
    const kl::test::Answer connect_answer =
        kl::test::status_answer(StatusRecord{}, big_endian, {0x11, 0x22, 0x33, 0x44});
    peer.script({Step{{connect_answer}}});
    klstatus st{};
    kl_long instance = 0;
    check_call(klconnect(environment.c_str(), "", &st, "bench", "", &instance), st, "klconnect");

    Bench bench(peer, samples);
    std::printf("round-trip benchmark: %zu samples after %zu warm-up, loopback 127.0.0.1, ",
                samples, warmup_samples);
    if (cpu >= 0) {
        std::printf("every thread on CPU %d\n", cpu);
    } else {
        std::printf("threads not bound to one CPU (the system refused)\n");
    }

    // (a) cursor open and close.
    Scenario open_close;
    open_close.steps = {
        Step{{kl::test::status_answer(StatusRecord{}, big_endian, {0x0C, 0x0D, 0x0E, 0x0F})}},
        Step{{kl::test::status_answer(StatusRecord{}, big_endian)}}};
    open_close.library = [&] {
        klstatus s{};
        kl_long cursor = 0;
        check_call(klopencursor(instance, "", &s, &cursor), s, "klopencursor");
        check_call(klclosecursor(cursor, "", &s), s, "klclosecursor");
    };
    const std::vector<Exchange> pattern_a = bench.wire_pattern(open_close);
    compare_through_peer(bench, peer, open_close, pattern_a,
                         "(a) klopencursor + klclosecursor, two round trips per sample\n"
                         "    wire bytes: requests " +
                             sizes(pattern_a, &Exchange::request) + ", answers " +
                             sizes(pattern_a, &Exchange::answer) + "\n");

    // (b) one request spanning three fragments.
    Bytes request(multi_fragment_request_size);
    std::iota(request.begin(), request.end(), std::uint8_t{0});
    const std::int32_t marker = 3; // read back from the answer's status
    Scenario multi;
    multi.steps = {Step{{kl::test::status_answer(StatusRecord{}.count(marker), big_endian)}}};
    multi.library = [&] {
        klstatus s{};
        std::array<std::uint8_t, kl::status_size> answer{};
        if (!kl::exchange_request(request, answer, s) || s.error != 0 || s.count != marker)
            fail("exchange_request failed: error " + std::to_string(s.error) + ", info " +
                 std::to_string(s.info));
    };
    const std::vector<Exchange> pattern_b = bench.wire_pattern(multi);
    const std::size_t fragments = count_fragments(pattern_b[0].request);
    if (fragments != expected_fragments)
        fail("the " + std::to_string(request.size()) + "-byte request went out in " +
             std::to_string(fragments) + " fragment(s), not " + std::to_string(expected_fragments));
    if (peer.requests().back().payload != request)
        fail("the peer did not receive the request bytes that were sent");
    // Through the test peer for reference: the peer's own work (its
    // threads, its lock, its recording) weighs on this figure.
    compare_through_peer(bench, peer, multi, pattern_b,
                         "(b) one " + std::to_string(request.size()) + "-byte request in " +
                             std::to_string(fragments) +
                             " fragments through exchange_request\n    wire bytes: request " +
                             sizes(pattern_b, &Exchange::request) +
                             " (the plain client sends it with one send), answer " +
                             sizes(pattern_b, &Exchange::answer) + "\n");

    // Every request reached the peer and got its own step: nothing was
    // answered by a step meant for another, nothing is left over.
    const std::size_t expected = 1 + open_close.steps.size() + open_close.requests_sent +
                                 multi.steps.size() + multi.requests_sent;
    if (!peer.wait_for_requests(expected, std::chrono::seconds(1)) ||
        peer.wait_for_requests(expected + 1, std::chrono::milliseconds(0)))
        fail("the peer did not receive exactly one request per scripted step");
    peer.script({Step{{kl::test::status_answer(StatusRecord{}, big_endian)}}});
    check_call(kldisconnect(instance, "", &st), st, "kldisconnect");

    // The target's figure: the library against a server that does exactly
    // what the plain ping-pong's server does, reached through the
    // dispatcher like any server, so the socket is the one the library set
    // up itself and the ratio is the library's own share.
    double ratio_b = 0;
    {
        const Exchange connect_exchange{peer.requests().front().raw,
                                        framed_answer(connect_answer.payload)};
        PlainServer plain(pattern_b);
        PlainServer same_server(pattern_b, connect_exchange);
        peer.set_dispatch_reply({.server_port = same_server.port()});
        check_call(klconnect(environment.c_str(), "", &st, "bench", "", &instance), st,
                   "klconnect");
        RawClient plain_client(plain.port(), pattern_b);
        std::vector<Variant> variants = {
            {"plain TCP ping-pong", false, [&] { plain_client.round_trips(); }, {}},
            {"library, same server as plain", false, multi.library, {}}};
        bench.run(multi, variants);
        std::printf("(b') the same request, the library against the plain ping-pong's server\n");
        ratio_b = report(variants);
        // Closes the connection without a disconnect request, which this
        // server would not understand; its thread then ends.
        kl::hostdisconnect();
    }
    ::unsetenv("KL_WINDIR");

    const bool met = ratio_b <= target_ratio;
    std::printf("verdict (b): the multi-fragment median is %s %.0fx the plain ping-pong median "
                "(ratio %.2f): target %s\n",
                met ? "within" : "not within", target_ratio, ratio_b, met ? "met" : "missed");
    return check && !met ? 1 : 0;
}

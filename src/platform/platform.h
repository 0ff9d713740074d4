// The platform layer: everything the library needs from the operating
// system, behind one narrow seam.  The rest of the library includes no
// operating-system header; a second implementation of this file's
// functions is all a new platform needs.
//
// Socket failures are always reported with Windows Sockets error numbers
// (10054 for a reset connection, 10061 for a refused one, ...), whatever
// the platform, because applications and message files key on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kl::platform {

// ---- sockets ---------------------------------------------------------------

// A socket handle.  Wide enough for a POSIX descriptor and a Windows SOCKET.
using socket_t = std::intptr_t;
inline constexpr socket_t invalid_socket = -1;

// An IPv4 address and port as the library keeps them: the four address
// bytes in written order and the port in network byte order, exactly as a
// socket address holds them.
struct Ipv4Endpoint {
    std::uint16_t family = 0; // 2 = IPv4
    std::uint16_t port_net = 0;
    std::uint8_t address[4] = {0, 0, 0, 0};
};

// Windows Sockets error numbers the library names itself.
inline constexpr int wsa_eintr = 10004;
inline constexpr int wsa_ebadf = 10009;
inline constexpr int wsa_eacces = 10013;
inline constexpr int wsa_efault = 10014;
inline constexpr int wsa_einval = 10022;
inline constexpr int wsa_emfile = 10024;
inline constexpr int wsa_ewouldblock = 10035;
inline constexpr int wsa_einprogress = 10036;
inline constexpr int wsa_ealready = 10037;
inline constexpr int wsa_enotsock = 10038;
inline constexpr int wsa_emsgsize = 10040;
inline constexpr int wsa_eprotonosupport = 10043;
inline constexpr int wsa_eafnosupport = 10047;
inline constexpr int wsa_eaddrinuse = 10048;
inline constexpr int wsa_eaddrnotavail = 10049;
inline constexpr int wsa_enetdown = 10050;
inline constexpr int wsa_enetunreach = 10051;
inline constexpr int wsa_enetreset = 10052;
inline constexpr int wsa_econnaborted = 10053;
inline constexpr int wsa_econnreset = 10054;
inline constexpr int wsa_enobufs = 10055;
inline constexpr int wsa_eisconn = 10056;
inline constexpr int wsa_enotconn = 10057;
inline constexpr int wsa_eshutdown = 10058;
inline constexpr int wsa_etimedout = 10060;
inline constexpr int wsa_econnrefused = 10061;
inline constexpr int wsa_ehostdown = 10064;
inline constexpr int wsa_ehostunreach = 10065;
inline constexpr int wsa_host_not_found = 11001;
inline constexpr int wsa_try_again = 11002;
inline constexpr int wsa_no_recovery = 11003;
inline constexpr int wsa_no_data = 11004;

// Starts the socket library (Windows Sockets version 1.1 where there is
// one).  Returns 0 or a Windows Sockets error number.
int socket_startup();

// Opens an IPv4 stream socket; invalid_socket on failure.
socket_t socket_open();

// Wait limits.  wait_seconds > 0 bounds each wait of a socket call: the
// connect, every wait for room to send, every wait for bytes to arrive.  A
// wait that runs out fails the call with 10060 (timed out).  0 waits as
// long as the system does.  A socket given a limit once is always given
// the same one (on Windows it stays non-blocking from its connect on).

// Connects; 0 on success, -1 on failure (the error through last_socket_error).
int socket_connect(socket_t socket, const Ipv4Endpoint& endpoint, int wait_seconds = 0);

// Sets TCP_NODELAY; 0 or -1.
int socket_set_nodelay(socket_t socket);

// Switches TCP keepalive on, so that a peer machine that vanished is
// noticed on an idle connection.  With idle_seconds > 0, where the system
// lets it be set, probes start after that many idle seconds and follow
// each other at that interval.  0 or -1.
int socket_set_keepalive(socket_t socket, int idle_seconds);

// Sends: the count sent, or -1.  Never raises a signal when the peer has
// closed the connection; an interrupted call is retried.  Without a limit
// this is one send call; with one, the bytes go out in as many calls as
// the room the peer leaves allows, each wait bounded, so the count is the
// whole length unless a fault says otherwise.  more says that further
// bytes of the same message follow at once, so the system may hold these
// back and send both together (a hint only: the bytes and their order are
// the same, and a send without it releases whatever was held).
long socket_send(socket_t socket, const void* data, std::size_t length, bool more = false,
                 int wait_seconds = 0);

// One receive call (after, with a limit, a bounded wait for bytes): the
// count received, 0 when the peer has closed the connection, or -1.  An
// interrupted call is retried.
long socket_recv(socket_t socket, void* data, std::size_t length, int wait_seconds = 0);

// Closes; 0 or -1.
int socket_close(socket_t socket);

// The Windows Sockets error number of the last failed socket operation on
// this thread.
int last_socket_error();

// Sets that number, for failures the library finds above the socket calls
// (a connection the peer closed, a connection that does not exist).
void set_last_socket_error(int error);

// Looks a host name up; fills the four address bytes of its first address.
// 0, or -1 (the error through last_socket_error).
int resolve_host(const char* name, std::uint8_t address[4]);

// Looks a service up for protocol "tcp"; true and the port in network
// order when found.
bool lookup_service(const char* name, std::uint16_t* port_net);

// Byte order helpers of the socket interface.
std::uint16_t host_to_net16(std::uint16_t value);
std::uint16_t net_to_host16(std::uint16_t value);

// ---- profile files ---------------------------------------------------------

// Reads one value of a private profile file with the rules of the Windows
// profile reader: section and key names without regard to letter case,
// blanks around names and values trimmed, a value wholly enclosed in
// matching quotes loses them, lines beginning with ';' are comments, the
// first matching key wins.  The result is cut to out.size() - 1 characters
// and NUL-terminated; the default is returned when the file, the section or
// the key is missing.  Returns the number of characters stored.
//
// A bare file name (no directory part) is looked for in the platform's
// directory for such files (the Windows directory; KL_WINDIR on POSIX,
// default /etc).
std::size_t read_profile_string(const char* file, const char* section, const char* key,
                                const char* default_value, std::span<char> out);

// ---- user interface --------------------------------------------------------

// Opaque window handle; 0 when there is none.
using window_t = std::uintptr_t;

inline constexpr unsigned mb_ok = 0x00;
inline constexpr unsigned mb_iconinformation = 0x40;

// Shows a message box with an OK button.  Returns when it is closed.
void message_box(window_t owner, const char* text, const char* title, unsigned type);
window_t focus_window();

// Loads string number id of the application's string table into out
// (cut, NUL-terminated).  Returns the characters stored; 0 when missing.
std::size_t load_string(unsigned id, std::span<char> out);

// ---- process ---------------------------------------------------------------

// Identity of the calling thread: never 0, different for every live thread.
std::uint32_t thread_identity();

// Gives the rest of the calling thread's time slice to other threads.
void yield_thread();

// Local calendar time, for the trace banner.
struct LocalTime {
    int year = 0;    // e.g. 2026
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int weekday = 0; // 0 = Sunday
    int hour = 0;
    int minute = 0;
    int second = 0;
};
LocalTime local_time();

// errno of the moment (allocation failures report it as their detail).
int system_error();

// Opens the file for appending, writes the bytes and closes it again.
// false when the file cannot be opened or written.
bool append_to_file(const char* path, const char* data, std::size_t length);

// true when the file can be opened for appending (it is created if absent).
bool can_append(const char* path);

// Writes a text to the standard error stream.
void write_stderr(const char* text);

// ---- fault injection --------------------------------------------------------
// One seam through which tests make the operating system misbehave, so
// every failure path can be walked.  Everything is off unless a test sets
// it.

// n > 0: every n-th receive call returns at most one byte, so partial reads
// are exercised all the time.  0 turns it off.
void set_short_receive_every(int n);

// n >= 0: n more allocations succeed, every later one fails.  -1 turns it
// off.
void set_allocation_failures_after(int n);

// Asked before every allocation of a control block or stream buffer.
bool allocation_permitted();

// The length a receive call may ask for under the short-receive setting.
std::size_t receive_length_limit(std::size_t length);

// The socket operations a fault can be injected into.
enum class SocketOp { open, connect, set_option, send, recv, close };
inline constexpr int socket_op_kinds = 6;

// What an injected fault does to its operation:
//   error        the operation fails with the error number given
//   reset        it fails with 10054 (connection reset by the peer)
//   peer_closed  a receive returns 0, as when the peer has closed; any
//                other operation fails with 10054
//   short_transfer  a send sends half the bytes asked for (and reports
//                that count), a receive asks for one byte; neither fails
enum class SocketFault { error, reset, peer_closed, short_transfer };

// From now on the n-th operation of kind op (counted from 1) meets the
// fault; the operation counts start again at 0.  n = 0 injects nothing and
// only restarts the counts.
void inject_socket_fault(SocketOp op, int n, SocketFault fault, int error = wsa_enetdown);

// Operations of kind op since the last inject_socket_fault.
int socket_operations(SocketOp op);

// Injected faults that took effect (operations failed or cut, allocations
// refused) since the process started.
int injected_faults();

// The hook each socket function calls first: counts the operation and
// returns what the function is to return at once when an injected fault
// makes it fail (the socket error then set, except for a receive that
// finds the peer closed).  A short transfer only cuts *length.
std::optional<long> socket_fault(SocketOp op, std::size_t* length = nullptr);

// When set, called by socket_fault for every send and receive, on the
// calling thread: tests see through it which thread works the connection
// at each step.  nullptr turns it off.
using SocketObserver = void (*)();
void set_socket_observer(SocketObserver observer);

} // namespace kl::platform

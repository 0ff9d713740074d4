// The host connection: the library's one connection to a server, reached
// through the dispatcher on the server machine.
//
// hostconnect opens a short connection to the dispatcher, sends it the
// 4-byte connect request and reads the 52-byte reply, which names the port
// of a server process and the server's host type (and with it the byte
// order of the integers in requests and answers).  It then connects to that
// port on the same machine, or, in standalone mode, keeps the dispatcher
// connection as the server connection, and records the connection as
// network access instance 1.  A further hostconnect to the same dispatcher
// address and port only counts another user of it; hostdisconnect counts
// one user off and closes the connection with the last.
//
// Both return a result code composed by make_status: category 0 with 0 on
// success or a library error number, category 1 with 18004 (the same
// server is connected already; counted as a success by klconnect), 18006
// or 18013, category 3 with a Windows Sockets error number.  Where a
// failure names a step, the step is left in the transport context text.
//
// Sockets opened by a hostconnect that fails are closed before it returns,
// and a failed hostconnect leaves nothing recorded and the library not
// marked connected.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol.h"

namespace kl {

// The dispatcher's connect request word (00 00 29 81: a protocol constant,
// not the library's version) and the size of its reply.
inline constexpr std::uint32_t dispatch_request_word = protocol::dispatch_connect_word;
using protocol::dispatch_reply_size;

// Options (a comma-separated keyword list, read up to its first semicolon
// outside quotes; the caller's text is not changed):
//   HOST=name or IPADDRESS=a.b.c.d   the server machine (one of them)
//   SERVICE=name or PORT=n            the dispatcher's port (one of them)
//   TIMEOUT=n                         limit of each wait in seconds (the
//                                     caller checked 1 to 86400); without
//                                     it every wait lasts as long as the
//                                     system lets it
//   ERRDISP=n                         error display level: 0, 2, else 1
//   PROFILE=file                      switch the trace log on (if not on)
//   CONFIG, RWINNAME, DDENAME, LOGON (with values), NODISABLE: accepted
// The first argument is not read; it is kept for the callers' symmetry
// with hostdisconnect.
std::uint32_t hostconnect(const char* unused, const char* options);

// Options: REFLECT and LOGOFF (with values), both accepted without effect;
// a text of 256 characters or more (up to its cut) is refused with 18006.
// Allocates nothing.
std::uint32_t hostdisconnect(const char* options);

// Sets the transport context text (at most 35 characters are kept).
void set_context_text(const char* text);

} // namespace kl

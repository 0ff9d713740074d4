// Checks every call makes before it talks to the server.  Each returns
// false (or null) after filling the caller's status for the failure, so a
// call reads as a list of checks:
//
//     if (!require_connection(st)) return;
//     kl_cursor_t* cursor = find_cursor(number, st);
//     if (!cursor) return;
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "frame/tables.h"
#include "klsrv32.h"
#include "transport/record_stream.h"

namespace kl {

// 18011 when the library has no server connection.
bool require_connection(klstatus& status);

// The block of a client cursor number; 11042 (info = the number, the
// given text) when it names no open cursor, 18011 when the connection it
// was opened on is gone.  The calls that work on a
// cursor's rows report "client cursor"; klclosecursor reports no text.
kl_cursor_t* find_cursor(std::int32_t number, klstatus& status, const char* text = "client cursor");

// The block of a client instance number; 11008 (info = the number, the
// given text) when it names no instance, 18011 when its connection is gone.
ClientInstance* find_instance(std::int32_t number, klstatus& status, const char* text = nullptr);

// kldisconnect and klclosecursor of a block whose connection is gone: the
// block is freed and the status holds 18011, as for a missing connection,
// so a caller that checks the result sees what it always saw.  False
// (nothing done) for a live block or a number that names none.
bool free_stale_instance(std::int32_t number, klstatus& status);
bool free_stale_cursor(std::int32_t number, klstatus& status);

// The exchange of the calls whose request is only the function code, a
// server identifier and an 80-byte options field (86 bytes): sends it,
// receives the answer into answer and copies its status.  Nothing (status
// filled with 18065) when a transfer fails.
std::optional<Received> exchange_id_request(std::uint16_t code, const ServerId& id,
                                            const char* options, std::span<std::uint8_t> answer,
                                            klstatus& status);

// Clears error, warn, info and the status text (before a call's work, and
// for a success the library reports itself).
void clear_status(klstatus& status);

// The status a call reports for a failed result of the host connection:
// the library's own number (category 0, info 0), 18067 for the client and
// server host categories and 18065 for sockets (info = bits 0..15 of the
// result), 18066 for PPL (info = the result less its category).  False
// for any other category.
bool transport_failure(std::uint32_t result, std::int32_t& error, std::int32_t& info);

// A caller's byte area as a trace line shows it: its text up to the first
// NUL, at most 80 characters, and never more than length bytes of the
// area (the caller vouches for no more; a null area or a length of 0 or
// below shows as empty).
struct TracedBytes {
    char text[81];
};
TracedBytes traced_bytes(const void* data, std::int64_t length);

// The 4 bytes of a server identifier read as a little-endian number, as
// the trace lines show it.
std::int32_t server_id_number(const ServerId& id);

// Puts the library's process-wide state back to "never used": closes the
// connection's socket and forgets the connection, every instance, cursor,
// trace switch and the message file, and clears the platform's fault
// switches.  For the tests and fuzzers, which run many sessions in one
// process; no call uses it.
void reset_process_state();

} // namespace kl

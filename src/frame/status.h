// Result codes, the status record fill and the option text copy that every
// call shares.
#pragma once

#include <cstdint>
#include <span>

#include "klsrv32.h"
#include "protocol.h"

namespace kl {

using protocol::options_field_size;
using protocol::status_size;
using protocol::status_text_size;

// Composes the result code every exported call returns from a category
// (taken from the low 16 bits of its argument) and a number:
//   0  Kelora: the number itself; a number above 0xFFFFFF (every negative
//      number included) gives category 1, 18001 instead;
//   1, 3, 5, 7, 8: the category in bits 24..31 and bits 0..15 of the number;
//   2  PPL: the category and bits 0..23 of the number;
//   anything else: category 1, 18003.
std::uint32_t make_status(std::uint32_t category, std::uint32_t number);

// Fills the status for a failure the library found itself: error = number,
// warn = 0, info = info, buffer = the first 35 characters of text,
// zero-padded, byte 35 NUL.  Words 3 to 13 keep what they held.
void set_local_status(klstatus& status, std::int32_t number, std::int32_t info = 0,
                      const char* text = nullptr);

// Copies a caller's option string into a fixed request field: the copy ends
// at the first semicolon outside quotes (a NUL is stored in its place) or
// at the source's terminator.  Quotes are copied; a quoted stretch is
// closed only by the quote character that opened it.  At most dest.size()
// characters are stored: a source that long fills the field without a
// terminator.  The bytes after the terminator are zeroed, so requests
// carry no stale memory.  A null source gives an empty string.
void copy_option_text(std::span<char> dest, const char* source);

// The number of characters copy option text takes from source when the
// field has room for all of them (0 for null).
std::size_t option_text_length(const char* source);

} // namespace kl

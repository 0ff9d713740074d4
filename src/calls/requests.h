// The request shapes the query, modification and list calls share, and the
// loop that collects records across several answer records.
//
// Packed-string request: function code, server identifier, (for some calls
// a 32-bit number,) then the call's texts one after another, each with its
// NUL and no gap.  The texts go out whole, semicolons and all, and share a
// 2038-byte string area.
//
// Fixed-header request: function code, server identifier, a 32-bit count
// and the 80-byte options field (the options cut at the first semicolon
// outside quotes): 90 bytes, sometimes followed by call data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

#include "frame/tables.h"
#include "klsrv32.h"
#include "protocol.h"
#include "transport/record_stream.h"

namespace kl {

// Largest request record and answer record the calls use.
constexpr std::size_t request_area_size = protocol::record_area_size;
constexpr std::size_t answer_area_size = protocol::record_area_size;
using protocol::fixed_header_size;
using protocol::string_area_size;

// The texts of a packed-string request in the call's order; a null pointer
// counts as an empty text (it still takes its terminator).
using TextList = std::initializer_list<const char*>;

// The bytes the texts take packed: each its length plus its terminator.
std::size_t packed_length(TextList texts);

// True when the texts fit a string area of room bytes (by default the
// packed-string request's).
bool packed_fits(TextList texts, std::size_t room = string_area_size);

// Builds and sends a packed-string request: code, id, the number when
// given, the texts.  The caller has checked packed_fits.  0, or 18065
// (status filled) when the send fails.
int send_packed_request(std::uint16_t code, const ServerId& id, std::optional<std::int32_t> number,
                        TextList texts, klstatus& status);

// The exchange of the calls whose request is a packed-string request:
// refuses texts that do not fit (18021, nothing sent), sends the request,
// receives one answer record into answer and copies its status.  Nothing
// when the call ends here (status filled).
std::optional<Received> exchange_packed_request(std::uint16_t code, const ServerId& id,
                                                TextList texts, std::span<std::uint8_t> answer,
                                                klstatus& status);

// Builds and sends a fixed-header request followed by tail (at most
// request_area_size - 90 bytes; longer tails are the caller's fault and
// refused with 18021 before anything is sent).  0, or the error left in
// the status.
int send_fixed_header_request(std::uint16_t code, const ServerId& id, std::int32_t count,
                              const char* options, klstatus& status,
                              std::span<const std::uint8_t> tail = {});

// Copies the bytes that followed the status in a received answer to
// destination and returns their number: exactly the bytes that arrived,
// never more than the answer area holds.
std::size_t copy_answer_data(std::span<const std::uint8_t> answer, const Received& received,
                             char* destination);

// Reads answer records after a fetch or list request until count records
// were announced or an answer reports an error, placing the data of each
// answer into records at the running offset:
//
// - the bytes copied are the bytes that arrived after the status (never
//   more than the 1956 bytes an answer area holds), whatever bufflen says;
// - the offset advances by the server's bufflen, but never by more than
//   the bytes that answer carried and never backwards (a negative bufflen
//   advances nothing): a server that claims more than it sent cannot push
//   the next answer past what it has filled;
// - an answer counts only when its count is at least 1 and data followed
//   the status.
//
// Counted answers add at least one record each, so the loop places data
// from at most count answers, each at most 1956 bytes further on: nothing
// lands beyond count * KL_MAX_RECORD_BYTES bytes of records, whatever the
// server says.  A count of 0 or below reads nothing.  At the end
// status.count holds the records received, status.bufflen the final
// offset (the bytes so placed), and the "Total records received" line is
// traced.  False when a receive failed: the status then holds 18065, the
// records copied until then stay, and the totals are not written.
bool collect_records(std::int32_t count, char* records, klstatus& status);

} // namespace kl

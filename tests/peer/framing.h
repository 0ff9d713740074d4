// The tests' own framing of records, shared by the test peer, the raw
// client of the end-to-end tests, the server fuzzer and the round-trip
// benchmark: fragment headers (a big-endian length word, bit 15 set on the
// last fragment), a big-endian length word opening the record, and zero
// padding to a multiple of 4.
//
// It is written apart from the library's record stream and from the
// server's framing, and spells the bits out itself rather than taking them
// from the protocol header, so that a mistake there shows up against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kl::test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t last_fragment_bit = 0x8000;

// The dispatcher: a 4-byte big-endian connect word (00 00 29 81) in, a
// 52-byte reply out (status word at 0, 18070 when the dispatcher connection
// serves the client itself; host type at 48, port at 50, big-endian).
inline constexpr std::uint32_t dispatch_connect_word = 10625;
inline constexpr std::size_t dispatch_reply_size = 52;
inline constexpr std::uint32_t dispatch_standalone = 18070;

// An unsigned number of width bytes, big-endian or little-endian.
void put_number(Bytes& out, std::uint32_t v, int width = 4, bool big_endian = true);
std::uint32_t get_number(const std::uint8_t* at, int width = 4, bool big_endian = true);

// A record's body: the length word (length_word, or else the payload's
// size), the payload and zero padding to a multiple of 4.
Bytes record_body(const Bytes& payload, std::optional<std::uint32_t> length_word = std::nullopt);

// The body cut into fragments of the given sizes, each behind its header;
// sizes that fall short of the body leave the rest to a final fragment (no
// sizes: one fragment).  One element a fragment.
std::vector<Bytes> fragments(const Bytes& body, const std::vector<std::size_t>& sizes = {});

// payload framed as one record, in fragments of at most fragment bytes.
Bytes frame_record(const Bytes& payload, std::size_t fragment = std::size_t{1} << 15);

// Reads exactly n bytes to `to`; false when they cannot be had.
using ReadExact = std::function<bool(std::uint8_t* to, std::size_t n)>;

// One record read fragment by fragment.
struct ReadFragments {
    bool complete = false; // the last fragment arrived whole within the limit
    bool started = false;  // at least one byte arrived
    Bytes body;            // the fragments' data joined
    std::size_t count = 0; // fragments read whole
};

// Reads the fragments of one record; a record whose data pass limit bytes
// ends the reading.  raw, when given, receives every byte read, headers
// included.
ReadFragments read_fragments(const ReadExact& read, std::size_t limit, Bytes* raw = nullptr);

// The payload of a record body: the bytes its length word counts, or
// nullopt when the body is shorter than its length word says.
std::optional<Bytes> body_payload(const Bytes& body);

} // namespace kl::test

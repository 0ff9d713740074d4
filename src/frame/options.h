// Option strings and the configuration files.
//
// klconnect and klinsert take a free-form option string of keywords, some
// with values ("TRACE=c:\log.txt,R").  One parser reads both, driven by a
// table the caller builds: which keywords exist, which take a value and
// which exclude each other.  The parser rewrites the text in place
// (separators, quotes and '=' become NUL, keywords are upper-cased), so
// callers parse a copy; each entry's value then points into that copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kl {

struct OptionEntry {
    const char* name = "";       // keyword, upper case
    bool takes_value = false;    // a value is required, else none is allowed
    std::uint8_t group = 0;      // 0 = none; same non-zero group = exclusive
    const char* value = nullptr; // set by the parser; null when none
    bool seen = false;           // set by the parser
};

// Failure codes of parse options.
enum ParseCode : int {
    parse_value_not_allowed = -1,
    parse_unknown_keyword = -2,
    parse_group_conflict = -3,
    parse_value_missing = -6,
    parse_second_equals = -9,
    parse_too_many_terms = -10, // more than 64 terms
};

inline constexpr int max_option_terms = 64;

// What a caller reports when the parse fails: error 18006 ("an option
// string was rejected") and a short text naming the reason and the
// offending word, such as "unknown keyword FOO" (35 characters are used).
// Kept on the caller's stack, so parses on several threads share nothing.
struct ParseReport {
    std::int32_t error = 0;
    char text[36] = {};
};

// Parses text against the table.  Returns the number of terms, or a
// negative ParseCode after filling the report.
int parse_options(char* text, std::span<OptionEntry> table, ParseReport& report);

// ---- configuration files ---------------------------------------------------

// The value that stands for a missing entry.
inline constexpr const char* not_defined = "not defined";

// Reads a profile entry into out with the default "not defined".  Returns
// false when the entry is missing or is "not defined" in any letter case
// (out then holds that text).
bool read_config(const char* file, const char* section, const char* key, std::span<char> out);

// The library's own profile file, found in the platform's directory for
// such files.
inline constexpr const char* profile_file = "talvern.ini";

} // namespace kl

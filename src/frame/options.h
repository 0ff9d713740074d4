// Option strings and the configuration files.
//
// Several calls take a free-form option string of keywords, some with
// values ("TRACE=c:\log.txt,R").  One parser reads them all, driven by a
// table the caller builds: which keywords exist, which need a value, which
// are required and which exclude each other.  The parser rewrites the text
// in place (separators, quotes and '=' become NUL, keywords are
// upper-cased), so callers parse a copy; each entry's value then points
// into that copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kl {

struct OptionEntry {
    std::uint8_t group = 0;       // 0 = none; same non-zero group = exclusive
    char name[34] = {};           // keyword, upper case
    std::uint8_t kind = 0;        // 0 optional, 1 required, 2 one of the group required
    std::uint8_t takes_value = 0; // 0 no value, 1 value required, other = optional
    char* value = nullptr;        // set by the parser; null when none
    std::uint8_t seen = 0;        // set to 1 by the parser
};

// Makes an option entry (seen and value clear).
OptionEntry option_entry(const char* name, std::uint8_t takes_value, std::uint8_t group = 0,
                         std::uint8_t kind = 0);

// Clears the seen and value fields of every entry before a parse.
void clear_option_table(std::span<OptionEntry> table);

// Failure codes of parse options.
enum ParseCode : int {
    parse_value_not_allowed = -1,
    parse_unknown_keyword = -2,
    parse_group_conflict = -3,
    parse_no_table = -4,
    parse_value_missing = -6,
    parse_required_missing = -7,
    parse_group_missing = -8,
    parse_second_equals = -9,
    parse_too_many_terms = -10, // more than 64 terms
};

inline constexpr int max_option_terms = 64;

// Material of a parse failure: which check failed and where.
struct ParseFailure {
    int code = 0;
    std::ptrdiff_t offset = 0; // of the offending keyword (or '=') from the text start
    int entry = -1;            // index of the entry concerned
    int term = -1;             // index of the term concerned
    const char* keyword = nullptr;
    const char* value = nullptr;
};

// What a caller reports when the parse fails: an error number for the
// status and a short context text (35 characters are used).  The failure
// material is the parse's own, kept on the caller's stack, so parses on
// several threads at once share nothing.
struct ParseReport {
    std::int32_t error = 0;
    char text[36] = {};
    ParseFailure failure; // filled by every parse; code 0 after a success
};

// Parses text against the table.  Returns the number of terms, or a
// negative ParseCode.  A null text gives 0 without any check; a null table
// gives -4.  On failure the report (when given) is filled: error = 18006
// ("an option string was rejected") and a text naming the reason and the
// offending word, such as "unknown keyword FOO".  The report's failure
// material is filled after every parse, success or not.
int parse_options(char* text, std::span<OptionEntry> table, ParseReport* report);

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

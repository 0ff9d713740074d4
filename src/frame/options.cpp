// The option string parser and the reading of configuration entries.
//
// A parse runs in two stages.  The text is first split into terms (a
// keyword and an optional value) by one walk over it, which rewrites the
// separators, quotes and '=' as NUL and upper-cases the keywords, so every
// keyword and value is a NUL-terminated text inside the caller's copy.
// The terms are then matched against the table, and finally the table is
// walked for required keywords and required groups.
//
// The text's length is measured once, before the walk; the walk never
// looks past it, and every keyword and value it hands out ends at a NUL it
// wrote or at the text's own terminator.
//
// Failure report: every failure gives the error number
// KL_ERR_OPTION_REJECTED (18006), the number the transport also reports for
// a rejected option string, and a context text of at most 35 characters
// that names the reason and the offending word:
//
//   -1  "value not allowed R"      -7  "missing keyword X" (the entry's name)
//   -2  "unknown keyword FOO"      -8  "missing one of R" (first entry of the group)
//   -3  "conflicting keyword W"    -9  "second = in TRACE" (the term's keyword)
//   -4  "no option table"          -10 "too many options"
//   -6  "value required TRACE"
//
// A text of more than 64 terms is refused with -10 when the 65th term
// begins, rather than having its tail ignored: an option silently dropped
// would be worse than a clear failure.

#include "frame/options.h"

#include <cstring>

#include "frame/format.h"
#include "klsrv32.h"
#include "platform/platform.h"

namespace kl {

namespace {

struct Term {
    char* keyword = nullptr;
    char* value = nullptr;
};

struct Terms {
    Term list[max_option_terms];
    int count = 0;
};

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

void fail_at(ParseFailure& failure, int code, const char* text, const char* keyword,
             const char* value, int entry, int term) {
    failure.code = code;
    failure.keyword = keyword;
    failure.value = value;
    failure.offset = keyword ? keyword - text : 0;
    failure.entry = entry;
    failure.term = term;
}

// Splits text[0, length) into terms.  Returns 0 or a negative ParseCode.
int split_terms(char* text, std::size_t length, Terms& terms, ParseFailure& failure) {
    char quote = '\0'; // the quote that opened the current stretch, or NUL
    bool value_pending = false;
    bool new_term = true;
    bool upper_case = true; // keyword characters are upper-cased until '='
    int equals = 0;

    // Starts a new term whose keyword begins at p.
    auto begin_term = [&](char* p) {
        if (terms.count == max_option_terms) {
            fail_at(failure, parse_too_many_terms, text, p, nullptr, -1, terms.count);
            return false;
        }
        terms.list[terms.count++] = Term{p, nullptr};
        new_term = false;
        return true;
    };

    for (std::size_t i = 0; i < length; ++i) {
        char* p = text + i;
        const char c = *p;
        if ((c == ' ' || c == ',') && quote == '\0') {
            // Blanks between '=' and the value are skipped; otherwise the
            // character ends the term.
            if (!value_pending) {
                new_term = true;
                upper_case = true;
                equals = 0;
            }
            *p = '\0';
        } else if (c == '"' || c == '\'') {
            // The other kind of quote inside a stretch leaves it open but is
            // still cut out, so it ends a value there.
            if (quote == '\0') {
                quote = c;
            } else if (quote == c) {
                quote = '\0';
            }
            *p = '\0';
        } else if (c == '=' && quote == '\0') {
            // An '=' where a keyword was expected gives a term with an empty
            // keyword, which no entry names.
            if (new_term && !begin_term(p)) return parse_too_many_terms;
            if (++equals > 1) {
                Term& t = terms.list[terms.count - 1];
                fail_at(failure, parse_second_equals, text, t.keyword, nullptr, -1,
                        terms.count - 1);
                failure.offset = p - text;
                return parse_second_equals;
            }
            *p = '\0';
            value_pending = true;
            upper_case = false;
        } else {
            if (new_term) {
                if (!begin_term(p)) return parse_too_many_terms;
            } else if (value_pending) {
                terms.list[terms.count - 1].value = p;
                value_pending = false;
            }
            if (upper_case) *p = upper(c);
        }
    }
    return 0;
}

bool name_matches(const OptionEntry& entry, const char* keyword) {
    return std::strncmp(entry.name, keyword, sizeof entry.name) == 0 &&
           (bounded_length(entry.name, sizeof entry.name) < sizeof entry.name ||
            keyword[sizeof entry.name] == '\0');
}

int find_entry(std::span<OptionEntry> table, const char* keyword) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (name_matches(table[i], keyword)) return static_cast<int>(i);
    }
    return -1;
}

int seen_in_group(std::span<OptionEntry> table, std::uint8_t group) {
    int seen = 0;
    for (const OptionEntry& e : table) {
        if (e.group == group && e.seen) ++seen;
    }
    return seen;
}

// Matches the terms to the table.  0 or a negative ParseCode.
int match_terms(const char* text, const Terms& terms, std::span<OptionEntry> table,
                ParseFailure& failure) {
    for (int t = 0; t < terms.count; ++t) {
        const Term& term = terms.list[t];
        const int index = find_entry(table, term.keyword);
        if (index < 0) {
            fail_at(failure, parse_unknown_keyword, text, term.keyword, term.value, -1, t);
            return parse_unknown_keyword;
        }
        OptionEntry& entry = table[static_cast<std::size_t>(index)];
        entry.seen = 1;
        int code = 0;
        if (entry.takes_value == 1 && term.value == nullptr) code = parse_value_missing;
        if (entry.takes_value == 0 && term.value != nullptr) code = parse_value_not_allowed;
        if (code == 0) {
            entry.value = term.value; // a keyword given twice keeps the later value
            if (entry.group != 0 && seen_in_group(table, entry.group) > 1) {
                code = parse_group_conflict;
            }
        }
        if (code != 0) {
            fail_at(failure, code, text, term.keyword, term.value, index, t);
            return code;
        }
    }
    return 0;
}

// Checks required entries and required groups in table order.
int check_required(std::span<OptionEntry> table, ParseFailure& failure) {
    std::uint8_t previous_group = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const OptionEntry& entry = table[i];
        int code = 0;
        if (entry.kind == 1 && !entry.seen) {
            code = parse_required_missing;
        } else if (entry.group != previous_group && entry.group != 0 && entry.kind == 2 &&
                   seen_in_group(table, entry.group) == 0) {
            code = parse_group_missing;
        }
        if (code != 0) {
            failure.code = code;
            failure.entry = static_cast<int>(i);
            return code;
        }
        previous_group = entry.group;
    }
    return 0;
}

// The report text of each failure: the reason, followed by the offending
// word where there is one.
struct ReportText {
    int code;
    const char* reason;
    bool names_word;
};
constexpr ReportText report_texts[] = {
    {parse_value_not_allowed, "value not allowed ", true},
    {parse_unknown_keyword, "unknown keyword ", true},
    {parse_group_conflict, "conflicting keyword ", true},
    {parse_no_table, "no option table", false},
    {parse_value_missing, "value required ", true},
    {parse_required_missing, "missing keyword ", true},
    {parse_group_missing, "missing one of ", true},
    {parse_second_equals, "second = in ", true},
    {parse_too_many_terms, "too many options", false},
};

void fill_report(ParseReport* report, int code, std::span<OptionEntry> table,
                 const ParseFailure& failure) {
    if (report == nullptr) return;
    const char* reason = "";
    bool names_word = false;
    for (const ReportText& r : report_texts) {
        if (r.code == code) reason = r.reason, names_word = r.names_word;
    }
    // Missing entries are named by the table; the others by the keyword
    // found in the text.
    const char* word = failure.keyword;
    if (code == parse_required_missing || code == parse_group_missing) {
        word = table[static_cast<std::size_t>(failure.entry)].name;
    }
    char line[sizeof report->text + 8];
    format_text(line, "%s%.34s", reason, names_word && word ? word : "");
    report->error = KL_ERR_OPTION_REJECTED;
    copy_text(report->text, line);
}

} // namespace

OptionEntry option_entry(const char* name, std::uint8_t takes_value, std::uint8_t group,
                         std::uint8_t kind) {
    OptionEntry entry;
    copy_text(entry.name, name);
    // Keywords are matched against upper-cased text, so the name is kept in
    // upper case whatever the caller wrote.
    for (char& c : entry.name)
        c = upper(c);
    entry.group = group;
    entry.kind = kind;
    entry.takes_value = takes_value;
    return entry;
}

void clear_option_table(std::span<OptionEntry> table) {
    for (OptionEntry& entry : table) {
        entry.seen = 0;
        entry.value = nullptr;
    }
}

int parse_options(char* text, std::span<OptionEntry> table, ParseReport* report) {
    ParseFailure scratch;
    ParseFailure& failure = report != nullptr ? report->failure : scratch;
    failure = ParseFailure{};
    if (text == nullptr) return 0;
    int code = parse_no_table;
    if (table.data() != nullptr) {
        Terms terms;
        code = split_terms(text, std::strlen(text), terms, failure);
        if (code == 0) code = match_terms(text, terms, table, failure);
        if (code == 0) code = check_required(table, failure);
        if (code == 0) return terms.count;
    }
    failure.code = code;
    fill_report(report, code, table, failure);
    return code;
}

bool read_config(const char* file, const char* section, const char* key, std::span<char> out) {
    if (out.empty()) return false;
    // Enough of the entry is read to tell "not defined" from a longer value
    // that begins with it, even when out is too small for either.
    char small[sizeof "not defined" + 1] = {};
    const std::span<char> target = out.size() >= sizeof small ? out : std::span<char>(small);
    platform::read_profile_string(file, section, key, not_defined, target);
    // The default in any letter case counts as missing: "NOT DEFINED" in
    // a file is as good as no entry.
    const bool found = !equal_ignoring_case(target.data(), not_defined);
    if (target.data() != out.data()) copy_text(out, small);
    return found;
}

} // namespace kl

// The option string parser and the reading of configuration entries.
//
// A parse runs in two stages.  The text is first split into terms (a
// keyword and an optional value) by one walk over it, which rewrites the
// separators, quotes and '=' as NUL and upper-cases the keywords, so every
// keyword and value is a NUL-terminated text inside the caller's copy.
// The terms are then matched against the table.
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
//   -1  "value not allowed R"      -6  "value required TRACE"
//   -2  "unknown keyword FOO"      -9  "second = in TRACE" (the term's keyword)
//   -3  "conflicting keyword W"    -10 "too many options"
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

// A failed parse: the code and the keyword it names (null: none).
struct Failure {
    int code = 0;
    const char* keyword = nullptr;
};

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Splits text[0, length) into terms.  Returns 0 or a negative ParseCode.
int split_terms(char* text, std::size_t length, Terms& terms, Failure& failure) {
    char quote = '\0'; // the quote that opened the current stretch, or NUL
    bool value_pending = false;
    bool new_term = true;
    bool upper_case = true; // keyword characters are upper-cased until '='
    int equals = 0;

    // Starts a new term whose keyword begins at p.
    auto begin_term = [&](char* p) {
        if (terms.count == max_option_terms) {
            failure = {parse_too_many_terms, p};
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
                failure = {parse_second_equals, terms.list[terms.count - 1].keyword};
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

OptionEntry* find_entry(std::span<OptionEntry> table, const char* keyword) {
    for (OptionEntry& entry : table) {
        if (std::strcmp(entry.name, keyword) == 0) return &entry;
    }
    return nullptr;
}

int seen_in_group(std::span<OptionEntry> table, std::uint8_t group) {
    int seen = 0;
    for (const OptionEntry& e : table) {
        if (e.group == group && e.seen) ++seen;
    }
    return seen;
}

// Matches the terms to the table.  0 or a negative ParseCode.
int match_terms(const Terms& terms, std::span<OptionEntry> table, Failure& failure) {
    for (int t = 0; t < terms.count; ++t) {
        const Term& term = terms.list[t];
        OptionEntry* entry = find_entry(table, term.keyword);
        int code = 0;
        if (entry == nullptr) {
            code = parse_unknown_keyword;
        } else {
            entry->seen = true;
            if (entry->takes_value && term.value == nullptr) code = parse_value_missing;
            if (!entry->takes_value && term.value != nullptr) code = parse_value_not_allowed;
        }
        if (code == 0) {
            entry->value = term.value; // a keyword given twice keeps the later value
            if (entry->group != 0 && seen_in_group(table, entry->group) > 1)
                code = parse_group_conflict;
        }
        if (code != 0) {
            failure = {code, term.keyword};
            return code;
        }
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
    {parse_value_missing, "value required ", true},
    {parse_second_equals, "second = in ", true},
    {parse_too_many_terms, "too many options", false},
};

void fill_report(ParseReport& report, const Failure& failure) {
    const char* reason = "";
    bool names_word = false;
    for (const ReportText& r : report_texts) {
        if (r.code == failure.code) reason = r.reason, names_word = r.names_word;
    }
    char line[sizeof report.text + 8];
    format_text(line, "%s%.34s", reason, names_word && failure.keyword ? failure.keyword : "");
    report.error = KL_ERR_OPTION_REJECTED;
    copy_text(report.text, line);
}

} // namespace

int parse_options(char* text, std::span<OptionEntry> table, ParseReport& report) {
    Terms terms;
    Failure failure;
    int code = split_terms(text, std::strlen(text), terms, failure);
    if (code == 0) code = match_terms(terms, table, failure);
    if (code == 0) return terms.count;
    fill_report(report, failure);
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

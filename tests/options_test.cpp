// Option string parser: splitting, quoting, matching, and the failure
// codes with their report texts.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "frame/options.h"

namespace {

using kl::option_entry;
using Table = std::vector<kl::OptionEntry>;

// TRACE needs a value, OPT may have one, R and W exclude each other.
Table base() {
    return {option_entry("TRACE", 1), option_entry("OPT", 2), option_entry("R", 0, 1),
            option_entry("W", 0, 1)};
}
Table required() { // the base table and a required X
    Table t = base();
    t.push_back(option_entry("X", 0, 0, 1));
    return t;
}
Table groups() { // one of R/W and one of A/B required
    return {option_entry("N", 0), option_entry("R", 0, 1, 2), option_entry("W", 0, 1),
            option_entry("A", 0, 2, 2), option_entry("B", 0, 2)};
}

// Parses a copy held in a buffer of exactly the text's size, so that a
// read or write past the text shows under the address sanitizer.
struct Parsed {
    std::vector<char> text;
    Table table;
    kl::ParseReport report;
    int result;
    Parsed(const std::string& s, Table t) : text(s.begin(), s.end()), table(std::move(t)) {
        text.push_back('\0');
        result = kl::parse_options(text.data(), table, &report);
    }
    const char* value(std::size_t entry) const { return table[entry].value; }
};

struct Failure {
    const char* text;
    Table (*table)();
    int code;
    const char* report;
    std::ptrdiff_t offset; // checked for codes other than -7 and -8
    int entry;
};

TEST(ParseOptions, FailureCodesAndReports) {
    const Failure cases[] = {
        {"R, trace=x, bad", base, -2, "unknown keyword BAD", 12, -1},
        {"=x", base, -2, "unknown keyword ", 0, -1},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", base, -2, "unknown keyword ABCDEFGHIJKLMNOPQRS", 0,
         -1},
        {"r=1", base, -1, "value not allowed R", 0, 2},
        {"OPT,trace", base, -6, "value required TRACE", 4, 0},
        {"TRACE=''", base, -6, "value required TRACE", 0, 0},
        {"R,W", base, -3, "conflicting keyword W", 2, 3},
        {"trace=a=b", base, -9, "second = in TRACE", 7, -1},
        {"TRACE= =b", base, -9, "second = in TRACE", 7, -1},
        {"", required, -7, "missing keyword X", 0, 4},
        {"N", groups, -8, "missing one of R", 0, 1},
        {"W", groups, -8, "missing one of A", 0, 3},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p(c.text, c.table());
        EXPECT_EQ(p.result, c.code);
        EXPECT_EQ(p.report.failure.code, c.code);
        EXPECT_EQ(p.report.failure.entry, c.entry);
        if (c.code != -7 && c.code != -8) {
            EXPECT_EQ(p.report.failure.offset, c.offset);
        }
        EXPECT_EQ(p.report.error, 18006);
        EXPECT_STREQ(p.report.text, c.report);
    }
}

TEST(ParseOptions, SplittingAndQuoting) {
    const struct {
        const char* text;
        int terms;
        const char* trace; // the TRACE value, null = none
    } cases[] = {
        {"trace=c:\\LOG.txt", 1, "c:\\LOG.txt"},
        {"TRACE= x", 1, "x"},
        {"TRACE='a b,c=d'", 1, "a b,c=d"},
        {"TRACE=\"it's, x\",R", 2, "it"},         // the other quote ends the value
        {"TRACE='unclosed, r", 1, "unclosed, r"}, // separators stay inside the stretch
        {"TRACE=a\tb", 1, "a\tb"},                // a tab is not a separator
        {"TRACE=a, TRACE=b", 2, "b"},             // the later value wins
        {"TRACE= , R", 1, "R"},                   // blanks before a value are skipped
        {"  R ,, OPT  ", 2, nullptr},
        {", ,", 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p(c.text, base());
        ASSERT_EQ(p.result, c.terms);
        EXPECT_EQ(p.report.failure.code, 0);
        if (c.trace == nullptr) {
            EXPECT_EQ(p.value(0), nullptr);
        } else {
            ASSERT_NE(p.value(0), nullptr);
            EXPECT_STREQ(p.value(0), c.trace);
        }
    }
}

TEST(ParseOptions, RewritesTheCopyAndFillsEntries) {
    Parsed p("trace=Ab,opt,w", base());
    ASSERT_EQ(p.result, 3);
    const char expected[] = "TRACE\0Ab\0OPT\0W";
    ASSERT_EQ(p.text.size(), sizeof expected);
    EXPECT_EQ(std::memcmp(p.text.data(), expected, sizeof expected), 0);
    EXPECT_EQ(p.value(0), p.text.data() + 6); // values point into the caller's copy
    EXPECT_EQ(p.table[1].seen, 1);
    EXPECT_EQ(p.value(1), nullptr);
    EXPECT_EQ(p.table[2].seen, 0);

    EXPECT_EQ(Parsed("r,b,n", groups()).result, 3);
    EXPECT_EQ(Parsed("X,R,R", required()).result, 3); // one entry twice is no conflict

    kl::clear_option_table(p.table);
    EXPECT_EQ(p.table[0].value, nullptr);
    EXPECT_EQ(p.table[1].seen, 0);
    EXPECT_STREQ(option_entry("trace", 1).name, "TRACE");
}

TEST(ParseOptions, NullTextNullTableAndTermLimit) {
    kl::ParseReport report;
    Table table = required();
    EXPECT_EQ(kl::parse_options(nullptr, table, &report), 0); // nothing is checked
    EXPECT_EQ(report.error, 0);
    char text[] = "R";
    EXPECT_EQ(kl::parse_options(text, {}, &report), kl::parse_no_table);
    EXPECT_STREQ(report.text, "no option table");
    EXPECT_EQ(kl::parse_options(text, {}, nullptr), kl::parse_no_table);

    std::string terms;
    for (int i = 0; i < 64; ++i)
        terms += "OPT,";
    EXPECT_EQ(Parsed(terms, base()).result, 64);
    Parsed over(terms + "OPT", base());
    EXPECT_EQ(over.result, kl::parse_too_many_terms);
    EXPECT_STREQ(over.report.text, "too many options");
    EXPECT_EQ(over.report.failure.offset, 64 * 4);
}

} // namespace

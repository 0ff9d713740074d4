// Option string parser: splitting, quoting, matching, and the failure
// codes with their report texts.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "frame/options.h"

namespace {

using kl::OptionEntry;
using kl::option_entry;

// TRACE needs a value, OPT may have one, R and W exclude each other.
std::vector<OptionEntry> base_table() {
    return {option_entry("TRACE", 1), option_entry("OPT", 2), option_entry("R", 0, 1),
            option_entry("W", 0, 1)};
}

// The base table plus a required keyword X.
std::vector<OptionEntry> required_table() {
    auto table = base_table();
    table.push_back(option_entry("X", 0, 0, 1));
    return table;
}

// N is free; one of R/W and one of A/B must be given.
std::vector<OptionEntry> group_table() {
    return {option_entry("N", 0), option_entry("R", 0, 1, 2), option_entry("W", 0, 1),
            option_entry("A", 0, 2, 2), option_entry("B", 0, 2)};
}

// Parses a copy held in a buffer of exactly the text's size, so a read or
// write past the text shows under the address sanitizer.
struct Parsed {
    std::vector<char> buffer;
    std::vector<OptionEntry> table;
    kl::ParseReport report;
    int result = 0;

    Parsed(const std::string& text, std::vector<OptionEntry> entries)
        : buffer(text.begin(), text.end()), table(std::move(entries)) {
        buffer.push_back('\0');
        result = kl::parse_options(buffer.data(), table, &report);
    }
    const OptionEntry& entry(const char* name) const {
        for (const auto& e : table) {
            if (std::strcmp(e.name, name) == 0) return e;
        }
        ADD_FAILURE() << "no entry " << name;
        return table.front();
    }
    bool inside(const char* p) const {
        return p >= buffer.data() && p < buffer.data() + buffer.size();
    }
};

struct FailureCase {
    const char* text;
    std::vector<OptionEntry> (*table)();
    int code;
    const char* report;
    std::ptrdiff_t offset;
    int entry;
    int term;
};

class ParseFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ParseFailure, CodeReportAndState) {
    const FailureCase& c = GetParam();
    Parsed p(c.text, c.table());
    EXPECT_EQ(p.result, c.code);
    EXPECT_EQ(p.report.error, 18006);
    EXPECT_STREQ(p.report.text, c.report);
    EXPECT_EQ(kl::parse_state.code, c.code);
    EXPECT_EQ(kl::parse_state.entry, c.entry);
    if (c.code != kl::parse_required_missing && c.code != kl::parse_group_missing) {
        EXPECT_EQ(kl::parse_state.offset, c.offset);
        EXPECT_EQ(kl::parse_state.term, c.term);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ParseFailure,
    testing::Values(
        FailureCase{"FOO", base_table, -2, "unknown keyword FOO", 0, -1, 0},
        FailureCase{"R, trace=x, bad", base_table, -2, "unknown keyword BAD", 12, -1, 2},
        FailureCase{"=x", base_table, -2, "unknown keyword ", 0, -1, 0},
        FailureCase{"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", base_table, -2,
                    "unknown keyword ABCDEFGHIJKLMNOPQRS", 0, -1, 0},
        FailureCase{"r=1", base_table, -1, "value not allowed R", 0, 2, 0},
        FailureCase{"trace", base_table, -6, "value required TRACE", 0, 0, 0},
        FailureCase{"OPT,TRACE=", base_table, -6, "value required TRACE", 4, 0, 1},
        FailureCase{"TRACE=''", base_table, -6, "value required TRACE", 0, 0, 0},
        FailureCase{"R,W", base_table, -3, "conflicting keyword W", 2, 3, 1},
        FailureCase{"trace=a=b", base_table, -9, "second = in TRACE", 7, -1, 0},
        FailureCase{"TRACE= =b", base_table, -9, "second = in TRACE", 7, -1, 0},
        FailureCase{"", required_table, -7, "missing keyword X", 0, 4, -1},
        FailureCase{"TRACE=x", required_table, -7, "missing keyword X", 0, 4, -1},
        FailureCase{"N", group_table, -8, "missing one of R", 0, 1, -1},
        FailureCase{"W", group_table, -8, "missing one of A", 0, 3, -1}));

TEST(ParseOptions, SplitsQuotesAndKeepsValueCase) {
    struct Case {
        const char* text;
        int terms;
        const char* trace; // expected TRACE value, null = none
    };
    const Case cases[] = {
        {"trace=c:\\log.txt", 1, "c:\\log.txt"},
        {"TRACE= x", 1, "x"},
        {"Trace=MiXed", 1, "MiXed"},
        {"TRACE='a b,c=d'", 1, "a b,c=d"},
        {"TRACE=\"it's\"", 1, "it"},           // the other quote ends the value
        {"TRACE='unclosed, r", 1, "unclosed, r"}, // separators stay inside the stretch
        {"TRACE=a\tb", 1, "a\tb"},               // tab is not a separator
        {"TRACE=a, TRACE=b", 2, "b"},            // the later value wins
        {"TRACE= , R", 1, "R"},                  // blanks before a value are skipped
        {"  R ,, OPT  ", 2, nullptr},
        {", ,", 0, nullptr},
        {"", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p(c.text, base_table());
        ASSERT_EQ(p.result, c.terms);
        EXPECT_EQ(kl::parse_state.code, 0);
        const char* value = p.entry("TRACE").value;
        if (c.trace == nullptr) {
            EXPECT_EQ(value, nullptr);
        } else {
            ASSERT_NE(value, nullptr);
            EXPECT_STREQ(value, c.trace);
            EXPECT_TRUE(p.inside(value));
        }
    }
}

TEST(ParseOptions, RewritesTextInPlaceAndSetsEntries) {
    Parsed p("trace=Ab,opt,w", base_table());
    ASSERT_EQ(p.result, 3);
    const char expected[] = "TRACE\0Ab\0OPT\0W";
    ASSERT_EQ(p.buffer.size(), sizeof expected);
    EXPECT_EQ(std::memcmp(p.buffer.data(), expected, sizeof expected), 0);
    EXPECT_EQ(p.entry("TRACE").value, p.buffer.data() + 6);
    EXPECT_EQ(p.entry("OPT").seen, 1);
    EXPECT_EQ(p.entry("OPT").value, nullptr);
    EXPECT_EQ(p.entry("W").seen, 1);
    EXPECT_EQ(p.entry("R").seen, 0);
}

TEST(ParseOptions, GroupsAndRequiredSatisfied) {
    EXPECT_EQ(Parsed("W,B", group_table()).result, 2);
    EXPECT_EQ(Parsed("r,a,n", group_table()).result, 3);
    EXPECT_EQ(Parsed("X,R,R", required_table()).result, 3); // one entry twice is no conflict
}

TEST(ParseOptions, NullTextAndNullTable) {
    kl::ParseReport report;
    auto table = required_table();
    EXPECT_EQ(kl::parse_options(nullptr, table, &report), 0); // nothing checked
    EXPECT_EQ(report.error, 0);

    char text[] = "R";
    EXPECT_EQ(kl::parse_options(text, std::span<OptionEntry>(), &report), kl::parse_no_table);
    EXPECT_EQ(report.error, 18006);
    EXPECT_STREQ(report.text, "no option table");
    // A missing report is allowed.
    EXPECT_EQ(kl::parse_options(text, std::span<OptionEntry>(), nullptr), kl::parse_no_table);
}

TEST(ParseOptions, AtMost64Terms) {
    std::string text;
    for (int i = 0; i < 64; ++i) text += "OPT,";
    EXPECT_EQ(Parsed(text, base_table()).result, 64);
    text += "OPT";
    Parsed p(text, base_table());
    EXPECT_EQ(p.result, kl::parse_too_many_terms);
    EXPECT_STREQ(p.report.text, "too many options");
    EXPECT_EQ(kl::parse_state.offset, 64 * 4);
}

TEST(ParseOptions, StateClearedByNextParse) {
    Parsed bad("FOO", base_table());
    ASSERT_EQ(kl::parse_state.code, kl::parse_unknown_keyword);
    Parsed good("R", base_table());
    EXPECT_EQ(good.result, 1);
    EXPECT_EQ(kl::parse_state.code, 0);
    EXPECT_EQ(kl::parse_state.keyword, nullptr);
}

TEST(ParseOptions, ClearTableAndEntryNames) {
    Parsed p("TRACE=x,R", base_table());
    kl::clear_option_table(p.table);
    for (const auto& e : p.table) {
        EXPECT_EQ(e.seen, 0);
        EXPECT_EQ(e.value, nullptr);
    }
    const OptionEntry e = option_entry("trace", 1, 3, 2);
    EXPECT_STREQ(e.name, "TRACE");
    EXPECT_EQ(e.group, 3);
    EXPECT_EQ(e.kind, 2);
    EXPECT_EQ(option_entry(std::string(40, 'k').c_str(), 0).name[33], '\0');
}

} // namespace

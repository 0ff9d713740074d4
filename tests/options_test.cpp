// Option string parser: splitting, quoting, matching, and the failure
// codes with their report texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/options.h"

namespace {

// klconnect's table: TRACE takes a value, R, W and E exclude each other.
struct Parsed {
    std::vector<char> text; // exactly the text's size, so the sanitizer sees overruns
    kl::OptionEntry table[4] = {{"TRACE", true}, {"R", false, 1}, {"W", false, 1}, {"E", false, 1}};
    kl::ParseReport report;
    int result;
    explicit Parsed(const std::string& s) : text(s.begin(), s.end()) {
        text.push_back('\0');
        result = kl::parse_options(text.data(), table, report);
    }
};

TEST(ParseOptions, SplittingQuotingMatchingAndReports) {
    const struct {
        const char* text;
        int result;         // terms, or the failure code
        const char* report; // the TRACE value (null: none), or the failure's report
    } cases[] = {
        {"R, trace=x, bad", -2, "unknown keyword BAD"},
        {"=x", -2, "unknown keyword "},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", -2, "unknown keyword ABCDEFGHIJKLMNOPQRS"},
        {"r=1", -1, "value not allowed R"},
        {"E,trace", -6, "value required TRACE"},
        {"TRACE=''", -6, "value required TRACE"},
        {"R,W", -3, "conflicting keyword W"},
        {"trace=a=b", -9, "second = in TRACE"},
        {"TRACE= =b", -9, "second = in TRACE"},
        {"trace=c:\\LOG.txt", 1, "c:\\LOG.txt"},
        {"TRACE= x", 1, "x"},
        {"TRACE='a b,c=d'", 1, "a b,c=d"},
        {"TRACE=\"it's, x\",R", 2, "it"},         // the other quote ends the value
        {"TRACE='unclosed, r", 1, "unclosed, r"}, // separators stay inside the stretch
        {"TRACE=a\tb", 1, "a\tb"},                // a tab is not a separator
        {"TRACE=a, TRACE=b", 2, "b"},             // the later value wins
        {"TRACE= , R", 1, "R"},                   // blanks before a value are skipped
        {"  R ,, r  ", 2, nullptr},               // one entry twice is no conflict
        {", ,", 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p(c.text);
        ASSERT_EQ(p.result, c.result);
        const char* got = c.result < 0 ? p.report.text : p.table[0].value;
        EXPECT_STREQ(got ? got : "(none)", c.report ? c.report : "(none)");
        EXPECT_EQ(p.report.error, c.result < 0 ? 18006 : 0);
    }

    // At most 64 terms; the 65th is refused, not dropped.
    std::string terms;
    for (int i = 0; i < 64; ++i)
        terms += "R,";
    EXPECT_EQ(Parsed(terms).result, 64);
    Parsed over(terms + "R");
    EXPECT_EQ(over.result, kl::parse_too_many_terms);
    EXPECT_STREQ(over.report.text, "too many options");
}

} // namespace

// Option strings (splitting, quoting, matching, failure codes and their texts)
// and configuration entries read from files in a temporary directory.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "frame/options.h"
#include "peer/test_os.h"

namespace {

// klconnect's table: TRACE takes a value, R, W and E exclude each other.
struct Parsed {
    std::vector<char> text; // exactly the text's size, so the sanitizer sees overruns
    kl::OptionEntry table[4] = {{"TRACE", true}, {"R", false, 1}, {"W", false, 1}, {"E", false, 1}};
    kl::ParseReport report;
    int result;
    explicit Parsed(const std::string& s) : text(s.c_str(), s.c_str() + s.size() + 1) {
        result = kl::parse_options(text.data(), table, report);
    }
};

TEST(ParseOptions, SplittingQuotingMatchingAndReports) {
    // The text; its terms or failure code; the TRACE value or the failure's report.
    const std::tuple<const char*, int, const char*> cases[] = {
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
    for (const auto& [text, result, report] : cases) {
        SCOPED_TRACE(text);
        Parsed p(text);
        ASSERT_EQ(p.result, result);
        const char* got = result < 0 ? p.report.text : p.table[0].value;
        EXPECT_STREQ(got ? got : "(none)", report ? report : "(none)");
        EXPECT_EQ(p.report.error, result < 0 ? 18006 : 0);
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

namespace fs = std::filesystem;
namespace os = kl::test::os;

const char* const sample = "; comment\n"
                           "orphan=before any section\n"
                           "[Debug]\n"
                           "  trace = /tmp/log.txt   \n"
                           "Quoted=\"  spaced  \"\n"
                           "single='x'\n"
                           "mismatched=\"abc'\n"
                           "lone=\"\n"
                           "  ;hidden=comment\n"
                           "empty=\n"
                           "dup=first\n"
                           "dup=second\n"
                           "noequals\n"
                           "undefined=not defined\n"
                           "prefix=not defined yet\n"
                           "casing=Not Defined\n"
                           "  [  Spaced Section  ]  \n"
                           "Key=v1\n"
                           "[debug]\n"
                           "late=second debug section\n"
                           "[crlf]\r\n"
                           "a = 1 \r\n"
                           "b=2";

struct Profile : ::testing::Test {
    fs::path dir = os::make_temp_dir();
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const char* name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    }
    // The entry read into an area of the given size, "-" when missing.
    std::string read(const std::string& file, const char* section, const char* key,
                     std::size_t size = 256) {
        std::string out(size, '#');
        const bool found = kl::read_config(file.c_str(), section, key, out);
        return (found ? "" : "-") + std::string(out.c_str());
    }
};

TEST_F(Profile, ReadingRules) {
    const std::string file = write("sample.ini", sample);
    // Section, key, area size, the entry read.
    const std::tuple<const char*, const char*, std::size_t, const char*> cases[] = {
        {"debug", "TRACE", 256, "/tmp/log.txt"},
        {"DEBUG", " trace ", 256, "/tmp/log.txt"},
        {"debug", "trace", 5, "/tmp"},
        {"debug", "quoted", 256, "  spaced  "},
        {"debug", "single", 256, "x"},
        {"debug", "mismatched", 256, "\"abc'"},
        {"debug", "lone", 256, "\""},
        {"debug", "hidden", 256, "-not defined"},
#if !defined(_WIN32) // the system's reader on Windows finds a key written with its ';'
        {"debug", ";hidden", 256, "-not defined"},
#endif
        {"debug", "empty", 256, ""},
        {"debug", "dup", 256, "first"},
        {"debug", "noequals", 256, "-not defined"},
        {"debug", "orphan", 256, "-not defined"},
        {"debug", "late", 256, "-not defined"}, // only the first matching section is read
        {"spaced section", "key", 256, "v1"},
        {"crlf", "a", 256, "1"},
        {"crlf", "b", 256, "2"},
        {"missing", "trace", 256, "-not defined"},
        // The default in any letter case counts as missing, also when the
        // area is too small for it; a longer value that begins with it
        // does not.
        {"debug", "undefined", 256, "-not defined"},
        {"debug", "casing", 256, "-Not Defined"},
        {"debug", "undefined", 4, "-not"},
        {"debug", "prefix", 5, "not "},
    };
    for (const auto& [section, key, size, expected] : cases) {
        SCOPED_TRACE(std::string(section) + "/" + key);
        EXPECT_EQ(read(file, section, key, size), expected);
    }
    EXPECT_EQ(read((dir / "absent.ini").string(), "debug", "trace"), "-not defined");

    const std::string value(100000, 'v'); // lines of any length
    const std::string long_lines =
        write("long.ini", "[s]\n" + std::string(70000, 'k') + "=x\nk=" + value);
    EXPECT_EQ(read(long_lines, "s", "k", value.size() + 1), value);
}

// (Bare names in KL_WINDIR: every library test reads its talvern.ini that way.)
#if defined(_WIN32)
TEST_F(Profile, WithoutKlWindirBareNamesAreFoundInTheWindowsDirectory) {
    os::set_env("KL_WINDIR", nullptr);
    const std::string bare = "kl_" + dir.filename().string() + ".ini";
    const fs::path in_windir = os::windows_directory() / bare;
    std::ofstream(in_windir) << "[debug]\ntrace=windir\n";
    EXPECT_EQ(read(bare, "debug", "trace"), "windir");
    fs::remove(in_windir);
}
#endif

} // namespace

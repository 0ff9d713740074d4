// Profile file reader and configuration entries, on files written to a
// temporary directory.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "frame/options.h"
#include "peer/test_os.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
namespace os = kl::test::os;
using kl::platform::read_profile_string;

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

class Profile : public testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        do
            dir_ = fs::temp_directory_path() / ("kl_profile_" + std::to_string(random()));
        while (!fs::create_directory(dir_));
        path_ = write("sample.ini", sample);
    }
    void TearDown() override {
        os::set_env("KL_WINDIR", nullptr);
        fs::remove_all(dir_);
    }
    std::string write(const char* name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
        return (dir_ / name).string();
    }
    // Reads into an out area of the given size; checks the terminator.
    std::string read(const char* file, const char* section, const char* key,
                     std::size_t size = 256) {
        std::string out(size, '#');
        const std::size_t n = read_profile_string(file, section, key, "DEF", out);
        EXPECT_EQ(out[n], '\0');
        return out.substr(0, n);
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(Profile, ReadingRules) {
    const struct {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"debug", "TRACE", "/tmp/log.txt"},
        {"DEBUG", " trace ", "/tmp/log.txt"},
        {"debug", "quoted", "  spaced  "},
        {"debug", "single", "x"},
        {"debug", "mismatched", "\"abc'"},
        {"debug", "lone", "\""},
        {"debug", "hidden", "DEF"},
#if !defined(_WIN32) // the system's reader on Windows finds a key written with its ';'
        {"debug", ";hidden", "DEF"},
#endif
        {"debug", "empty", ""},
        {"debug", "dup", "first"},
        {"debug", "noequals", "DEF"},
        {"debug", "orphan", "DEF"},
        {"debug", "late", "DEF"}, // only the first matching section is read
        {"spaced section", "key", "v1"},
        {"crlf", "a", "1"},
        {"crlf", "b", "2"},
        {"missing", "trace", "DEF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(read(path_.c_str(), c.section, c.key), c.expected);
    }
}

TEST_F(Profile, CutsDefaultsAndNulls) {
    EXPECT_EQ(read(path_.c_str(), "debug", "trace", 5), "/tmp");
    EXPECT_EQ(read(path_.c_str(), "debug", "trace", 1), "");
    EXPECT_EQ(read(path_.c_str(), "debug", "nothing", 3), "DE");
    EXPECT_EQ(read((dir_ / "absent.ini").string().c_str(), "debug", "trace"), "DEF");
    EXPECT_EQ(read(nullptr, "debug", "trace"), "DEF");
    EXPECT_EQ(read(path_.c_str(), nullptr, "trace"), "DEF");
    EXPECT_EQ(read(path_.c_str(), "debug", nullptr), "DEF");
    char out[4] = "###";
    EXPECT_EQ(read_profile_string(path_.c_str(), "debug", "trace", "D", std::span(out, 0)), 0u);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(read_profile_string(path_.c_str(), "debug", "nothing", nullptr, out), 0u);

    const std::string value(100000, 'v'); // lines of any length
    const std::string file =
        write("long.ini", "[s]\n" + std::string(70000, 'k') + "=x\nk=" + value);
    EXPECT_EQ(read(file.c_str(), "s", "k", value.size() + 1), value);
}

TEST_F(Profile, BareNamesAreFoundInKlWindir) {
    fs::create_directory(dir_ / "sub");
    const std::string other = write("sub/other.ini", "[debug]\ntrace=sub\n");
    os::set_env("KL_WINDIR", dir_.string().c_str());
    EXPECT_EQ(read("sample.ini", "debug", "trace"), "/tmp/log.txt");
    EXPECT_EQ(read("other.ini", "debug", "trace"), "DEF");
    EXPECT_EQ(read(other.c_str(), "debug", "trace"), "sub"); // a path is used as given
    os::set_env("KL_WINDIR", (dir_ / "sub").string().c_str());
    EXPECT_EQ(read("other.ini", "debug", "trace"), "sub");
}

#if defined(_WIN32)
TEST_F(Profile, WithoutKlWindirBareNamesAreFoundInTheWindowsDirectory) {
    const std::string bare = "kl_" + dir_.filename().string() + ".ini";
    const fs::path in_windir = os::windows_directory() / bare;
    std::ofstream(in_windir) << "[debug]\ntrace=windir\n";
    EXPECT_EQ(read(bare.c_str(), "debug", "trace"), "windir");
    fs::remove(in_windir);
}
#endif

TEST_F(Profile, ReadConfigTreatsNotDefinedAsMissing) {
    const struct {
        const char* key;
        std::size_t size;
        bool found;
        const char* expected;
    } cases[] = {
        {"trace", 256, true, "/tmp/log.txt"},
        {"missing", 256, false, "not defined"},
        {"undefined", 256, false, "not defined"},
        {"casing", 256, false, "Not Defined"}, // any letter case counts
        {"trace", 5, true, "/tmp"},
        {"prefix", 5, true, "not "},
        {"undefined", 4, false, "not"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        std::string out(c.size, '#');
        EXPECT_EQ(kl::read_config(path_.c_str(), "debug", c.key, out), c.found);
        EXPECT_STREQ(out.c_str(), c.expected);
    }
}

} // namespace

// Profile file reader and configuration entries, on files written to a
// temporary directory.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "frame/options.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using kl::platform::read_profile_string;

const char* const sample = "; leading comment\n"
                           "orphan=before any section\n"
                           "[Debug]\n"
                           "  trace = /tmp/log.txt   \n"
                           "Quoted=\"  spaced value  \"\n"
                           "single='x'\n"
                           "mismatched=\"abc'\n"
                           "lonequote=\"\n"
                           ";hidden=commented out\n"
                           "  ;indented=comment too\n"
                           "empty=\n"
                           "dup=first\n"
                           "dup=second\n"
                           "noequals\n"
                           "undefined=not defined\n"
                           "casing=Not Defined\n"
                           "  [  Spaced Section  ]  \n"
                           "Key=v1\n"
                           "[debug]\n"
                           "late=in a second debug section\n"
                           "[crlf]\r\n"
                           "a = 1 \r\n"
                           "b=2";

class Profile : public testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        do {
            dir_ = fs::temp_directory_path() / ("kl_profile_" + std::to_string(random()));
        } while (!fs::create_directory(dir_));
        const char* old = std::getenv("KL_WINDIR");
        had_windir_ = old != nullptr;
        if (had_windir_) old_windir_ = old;
        path_ = write("sample.ini", sample);
    }
    void TearDown() override {
        if (had_windir_) {
            setenv("KL_WINDIR", old_windir_.c_str(), 1);
        } else {
            unsetenv("KL_WINDIR");
        }
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string write(const char* name, const std::string& text) {
        const fs::path file = dir_ / name;
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }
    std::string read(const char* section, const char* key, std::size_t size = 256) {
        std::string out(size, '#');
        const std::size_t n = read_profile_string(path_.c_str(), section, key, "DEF", out);
        EXPECT_EQ(out[n], '\0');
        return out.substr(0, n);
    }

    fs::path dir_;
    std::string path_;
    bool had_windir_ = false;
    std::string old_windir_;
};

TEST_F(Profile, ReadingRules) {
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"debug", "TRACE", "/tmp/log.txt"},
        {"DEBUG", "trace", "/tmp/log.txt"},
        {" debug ", " trace ", "/tmp/log.txt"},
        {"debug", "quoted", "  spaced value  "},
        {"debug", "single", "x"},
        {"debug", "mismatched", "\"abc'"},
        {"debug", "lonequote", "\""},
        {"debug", "hidden", "DEF"},
        {"debug", ";hidden", "DEF"},
        {"debug", "indented", "DEF"},
        {"debug", "empty", ""},
        {"debug", "dup", "first"},
        {"debug", "noequals", "DEF"},
        {"debug", "orphan", "DEF"},
        {"debug", "late", "DEF"}, // only the first matching section is read
        {"spaced section", "key", "v1"},
        {"crlf", "a", "1"},
        {"crlf", "b", "2"},
        {"missing", "trace", "DEF"},
        {"debug", "missing", "DEF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(read(c.section, c.key), c.expected);
    }
}

TEST_F(Profile, CutsToTheCallersSize) {
    EXPECT_EQ(read("debug", "trace", 5), "/tmp");
    EXPECT_EQ(read("debug", "trace", 1), "");
    EXPECT_EQ(read("debug", "quoted", 4), "  s");
    EXPECT_EQ(read("debug", "nothing", 3), "DE");

    char untouched[1] = {'#'};
    EXPECT_EQ(read_profile_string(path_.c_str(), "debug", "trace", "DEF",
                                  std::span<char>(untouched, 0)),
              0u);
    EXPECT_EQ(untouched[0], '#');
}

TEST_F(Profile, MissingFileAndNullArguments) {
    char out[16];
    const std::string missing = (dir_ / "absent.ini").string();
    EXPECT_EQ(read_profile_string(missing.c_str(), "debug", "trace", "DEF", out), 3u);
    EXPECT_STREQ(out, "DEF");
    EXPECT_EQ(read_profile_string(nullptr, "debug", "trace", "DEF", out), 3u);
    EXPECT_EQ(read_profile_string(path_.c_str(), nullptr, "trace", "DEF", out), 3u);
    EXPECT_EQ(read_profile_string(path_.c_str(), "debug", nullptr, "DEF", out), 3u);
    EXPECT_STREQ(out, "DEF");
    EXPECT_EQ(read_profile_string(path_.c_str(), "debug", "nothing", nullptr, out), 0u);
    EXPECT_STREQ(out, "");
}

TEST_F(Profile, LongLines) {
    const std::string value(100000, 'v');
    const std::string file = write("long.ini", "[s]\n" + std::string(70000, 'k') + "=x\nk=" +
                                                   value + "\n");
    std::string out(value.size() + 1, '#');
    EXPECT_EQ(read_profile_string(file.c_str(), "s", "k", "", out), value.size());
    EXPECT_EQ(out.substr(0, value.size()), value);
    char small[8];
    EXPECT_EQ(read_profile_string(file.c_str(), "s", "k", "", small), 7u);
}

TEST_F(Profile, BareNamesAreFoundInWindowsDirectory) {
    char out[32];
    setenv("KL_WINDIR", dir_.string().c_str(), 1);
    EXPECT_EQ(read_profile_string("sample.ini", "debug", "trace", "DEF", out), 12u);
    EXPECT_STREQ(out, "/tmp/log.txt");

    // A name with a directory part is used as given, wherever KL_WINDIR points.
    fs::create_directory(dir_ / "sub");
    write("sub/other.ini", "[debug]\ntrace=sub\n");
    const std::string relative = (dir_ / "sub" / "other.ini").string();
    EXPECT_EQ(read_profile_string(relative.c_str(), "debug", "trace", "DEF", out), 3u);
    EXPECT_STREQ(out, "sub");
    EXPECT_EQ(read_profile_string("other.ini", "debug", "trace", "DEF", out), 3u);
    EXPECT_STREQ(out, "DEF");

    setenv("KL_WINDIR", (dir_ / "sub").string().c_str(), 1);
    EXPECT_EQ(read_profile_string("other.ini", "debug", "trace", "DEF", out), 3u);
    EXPECT_STREQ(out, "sub");
}

TEST_F(Profile, ReadConfig) {
    struct Case {
        const char* key;
        std::size_t size;
        bool found;
        const char* expected;
    };
    const Case cases[] = {
        {"trace", 256, true, "/tmp/log.txt"},
        {"missing", 256, false, "not defined"},
        {"undefined", 256, false, "not defined"},
        {"casing", 256, true, "Not Defined"}, // only the exact text counts as missing
        {"empty", 256, true, ""},
        {"trace", 5, true, "/tmp"},
        {"missing", 5, false, "not "},
        {"undefined", 4, false, "not"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        std::string out(c.size, '#');
        EXPECT_EQ(kl::read_config(path_.c_str(), "debug", c.key, out), c.found);
        EXPECT_STREQ(out.c_str(), c.expected);
    }
}

} // namespace

// The library's command and external routine calls against the reference
// server, in each of its modes, with input and output of any length.
#include <string>
#include <vector>

#include "server_fixture.h"

namespace kl::test {
namespace {

class ExternalTest : public ServerTest {
  protected:
    klstatus command(kl_long instance, const std::string& input) {
        klstatus st{};
        char output[4] = {};
        klcommand(instance, "", &st, 0, input.data(), static_cast<kl_long>(input.size()), output,
                  0);
        return st;
    }
    // Runs a routine; the status, with out_length bytes of output in output.
    klstatus external(kl_long instance, const char* library, const char* routine,
                      const std::string& input, std::size_t out_length) {
        klstatus st{};
        output.assign(out_length, '#');
        klexternal(instance, "", &st, 0, library, routine, input.data(),
                   static_cast<kl_long>(input.size()), output.data(),
                   static_cast<kl_long>(out_length));
        return st;
    }
    std::string output;
};

// 70000 bytes: input and output both pass 65535 and take many records.
std::string long_text() {
    std::string text(70000, ' ');
    for (std::size_t k = 0; k < text.size(); ++k)
        text[k] = static_cast<char>('a' + k % 26);
    return text;
}

TEST_P(ExternalTest, TransactionCommandsKeepTheirOrder) {
    const kl_long instance = connect();
    const struct {
        std::string input;
        int error;
    } steps[] = {
        {"PING", 0},         {"commit", 20022}, {"begin  ", 0}, {"BEGIN", 20022},  {"Rollback", 0},
        {"ROLLBACK", 20022}, {"BEGIN", 0},      {"COMMIT", 0},  {"VACUUM", 20018}, {"", 20018},
    };
    for (const auto& step : steps)
        EXPECT_EQ(command(instance, step.input).error, step.error) << "'" << step.input << "'";
    // Long inputs: every input record is read, for a refused command too.
    EXPECT_EQ(command(instance, long_text()).error, 20018);
    EXPECT_EQ(command(instance, "PING" + std::string(69996, ' ')).error, 0);
}

TEST_P(ExternalTest, BuiltinRoutinesFillTheOutputAndZeroTheRest) {
    const kl_long instance = connect();
    const struct {
        const char* routine;
        const char* result;
    } cases[] = {
        {"echo", "Hello, World"},
        {"UPPER", "HELLO, WORLD"},
        {"reverse", "dlroW ,olleH"},
        {"length", "12"},
    };
    for (const auto& c : cases) {
        const std::string result = c.result;
        const klstatus st = external(instance, "builtin", c.routine, "Hello, World", 20);
        ASSERT_EQ(st.error, 0) << c.routine << " " << message(st);
        EXPECT_EQ(st.bufflen, static_cast<int>(result.size()));
        EXPECT_EQ(output, result + std::string(20 - result.size(), '\0')) << c.routine;
    }
    // Output shorter than the result takes what fits.
    external(instance, "builtin", "echo", "Hello, World", 5);
    EXPECT_EQ(output, "Hello");
}

TEST_P(ExternalTest, LongInputAndOutputArriveWhole) {
    const kl_long instance = connect();
    const std::string text = long_text();
    const klstatus st = external(instance, "builtin", "reverse", text, text.size());
    ASSERT_EQ(st.error, 0) << message(st);
    EXPECT_EQ(output, std::string(text.rbegin(), text.rend()));
}

TEST_P(ExternalTest, UnknownRoutinesAreRefusedWithTheInputStillRead) {
    const kl_long instance = connect();
    const std::string text = long_text();
    const struct {
        const char* library;
        const char* routine;
    } cases[] = {{"builtin", "sort"}, {"mathlib", "echo"}};
    for (const auto& c : cases) {
        const klstatus st = external(instance, c.library, c.routine, text, 10);
        EXPECT_EQ(st.error, 20019) << c.library << " " << c.routine;
        EXPECT_EQ(output, std::string(10, '#')); // no output records follow an error
    }
    EXPECT_EQ(external(instance, "BUILTIN", "echo", "ok", 2).error, 0);
    EXPECT_EQ(output, "ok");
}

INSTANTIATE_TEST_SUITE_P(Modes, ExternalTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::big_endian,
                                           ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

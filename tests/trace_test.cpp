// The trace log: which lines are written when, where they go, and the
// frame's lines in their order.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/call.h"
#include "frame/trace.h"
#include "platform/platform.h"

namespace kl {
namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TraceTest : ::testing::Test {
    std::string path;
    void SetUp() override {
        path = ::testing::TempDir() + "trace_test_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(path.c_str());
        set_log_file(path.c_str());
    }
    void TearDown() override {
        trace_state = {};
        std::remove(path.c_str());
    }
};

TEST_F(TraceTest, TheDebugFlagDecidesWhatIsWritten) {
    // Debug flag clear: nothing is written, no file is made.
    trace_state.debug_flag = 0;
    trace("transport line\n");
    trace_call("call line\n");
    EXPECT_FALSE(std::ifstream(path).good());

    trace_state.debug_flag = 1;
    trace_call("call line %d\n", 7);
    EXPECT_EQ(read_file(path), "call line 7\n");
}

TEST_F(TraceTest, LinesAreCutAt1024Characters) {
    trace_state.debug_flag = 1;
    const std::string long_text(3000, 'x');
    trace("%s|", long_text.c_str());
    EXPECT_EQ(read_file(path), std::string(1024, 'x'));
}

TEST_F(TraceTest, AnUnopenableLogShowsABoxForEveryLineAndTracingStaysOn) {
    set_log_file("/nonexistent-directory/trace.log");
    trace_state.debug_flag = 1;
    ::testing::internal::CaptureStderr();
    trace("one\n");
    trace("two\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "VESKAPI Error: Cannot open log file!\nVESKAPI Error: Cannot open log file!\n");
    EXPECT_EQ(trace_state.debug_flag, 1);
}

TEST_F(TraceTest, ARefusedCallWritesNoTakingControlLine) {
    trace_state.debug_flag = 1;
    owner_word = platform::thread_identity() + 1; // another thread's call is in progress
    klstatus status{};
    run_call(&status, [](klstatus&) {});
    owner_word = 0;
    EXPECT_EQ(read_file(path).find("taking control"), std::string::npos);
}

} // namespace
} // namespace kl

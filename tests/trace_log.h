// Test support: the call trace switched on into a fresh log file for the
// life of the object; the file goes with it.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "frame/trace.h"
#include "library_fixture.h"

namespace kl::test {

struct TraceLog {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kl_trace_" + std::to_string(::getpid()) + ".log"))
                                 .string();

    TraceLog() {
        std::filesystem::remove(path);
        set_log_file(path.c_str());
        trace_state.debug_flag = 1;
    }
    ~TraceLog() { std::filesystem::remove(path); }

    std::string text() const { return read_file(path); }
};

} // namespace kl::test

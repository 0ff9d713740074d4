// Test support: the call trace switched on into a fresh log file for the
// life of the object; the file goes with it.
#pragma once

#include <filesystem>
#include <string>

#include "frame/trace.h"
#include "library_fixture.h"

namespace kl::test {

struct TraceLog {
    const std::filesystem::path dir = os::make_temp_dir();
    const std::string path = (dir / "trace.log").string();

    TraceLog() {
        set_log_file(path.c_str());
        trace_state.debug_flag = 1;
    }
    ~TraceLog() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string text() const { return read_file(path); }
};

} // namespace kl::test

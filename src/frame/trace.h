// The trace log: lines that record what every call does, appended to a
// log file.
//
// The log file is opened, appended to and closed for every line, so no
// handle stays open between lines and other programs may read the file
// while the library runs.  Tracing, once switched on, stays on for the
// life of the process.
//
// Lines come from several threads at once: a call refused with 18002 and
// the calls that run outside the one-call guard write theirs while another
// thread's call holds the guard.  Each thread formats into a buffer of its
// own, and one line at a time is appended to the file.
#pragma once

#include <cstdint>
#include <string>

#include "frame/format.h"
#include "frame/shared.h"

namespace kl {

// Process-wide switches and state of the trace log.  The switches are
// read by every call on every thread; the log file's name is written only
// through set_log_file and read under the same lock.
struct TraceState {
    SharedWord debug_flag = 0; // 1 = lines are appended to the log file
    char log_file[128] = {};   // path of the log file
};
extern TraceState trace_state;

inline constexpr std::size_t trace_line_limit = 1024;

// True when lines are written (the debug flag is set).
inline bool tracing_any() {
    return trace_state.debug_flag != 0;
}

// Writes one formatted line, appended to the log file when the debug flag
// is set.  Lines longer than 1024 characters are cut.
void trace_write(const char* format, std::span<const FormatArg> args);

// Lines of the transport, MakeStatus, copy status and the information
// calls: written when the debug flag is set.
template <class... Args> void trace(const char* format, const Args&... args) {
    if (!tracing_any()) return;
    if constexpr (sizeof...(Args) == 0) {
        trace_write(format, {});
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        trace_write(format, list);
    }
}

// Lines written by the exported calls themselves: the same rule.
template <class... Args> void trace_call(const char* format, const Args&... args) {
    if (trace_state.debug_flag == 0) return;
    trace(format, args...);
}

// Sets the log file name (cut to its 127-character room).
void set_log_file(const char* path);

// Opens the log file once to see that it can be appended to.
bool open_log();

// The banner that opens klconnect's tracing run.
inline constexpr const char* connect_banner = "******************************************";
static_assert(std::char_traits<char>::length(connect_banner) == 42);

// Appends the banner that opens a tracing run: the given run of asterisks,
// a blank and the local date and time as "Www Mmm DD hh:mm:ss YYYY\n".
void write_banner(const char* asterisks);

} // namespace kl

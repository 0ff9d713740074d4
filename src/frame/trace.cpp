#include "frame/trace.h"

#include <array>
#include <cstring>

#include "platform/platform.h"

namespace kl {

namespace {

// Keeps lines whole and in order in the log file, and guards its name.
SpinLock log_lock;

constexpr const char* log_error_title = "VESKAPI Error";

// The 24-character date and time of the banner, with its line break, in
// the fixed English layout whatever the locale.
void format_banner_time(std::span<char> out) {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const platform::LocalTime now = platform::local_time();
    const char* day = (now.weekday >= 0 && now.weekday < 7) ? days[now.weekday] : "???";
    const char* month = (now.month >= 1 && now.month <= 12) ? months[now.month - 1] : "???";
    format_text(out, "%s %s %02d %02d:%02d:%02d %04d\n", day, month, now.day, now.hour, now.minute,
                now.second, now.year);
}

} // namespace

void trace_write(const char* format, std::span<const FormatArg> args) {
    if (!tracing_any()) return;
    const platform::window_t focus = platform::focus_window();
    std::array<char, trace_line_limit + 1> line;
    const std::size_t length = format_into(line, format, args);
    bool written = false;
    {
        LockHolder hold(log_lock);
        written = platform::append_to_file(trace_state.log_file, line.data(), length);
    }
    // A box may wait for the user, so none is shown under the lock.
    if (!written)
        platform::message_box(focus, "Cannot open log file!", log_error_title, platform::mb_ok);
}

void set_log_file(const char* path) {
    LockHolder hold(log_lock);
    copy_text(trace_state.log_file, path);
}

bool open_log() {
    LockHolder hold(log_lock);
    return platform::can_append(trace_state.log_file);
}

void write_banner(const char* asterisks) {
    char when[32];
    format_banner_time(when);
    char line[128];
    const std::size_t length = format_text(line, "%s %s", asterisks, when);
    LockHolder hold(log_lock);
    platform::append_to_file(trace_state.log_file, line, length);
}

} // namespace kl

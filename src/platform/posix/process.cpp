// POSIX stand-ins for the process-level interfaces: thread identity, local
// time, message boxes, the application's string table, errno and files.

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

namespace kl::platform {

std::uint32_t thread_identity() {
    // The kernel's thread id: never 0 and unique among live threads.
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

void yield_thread() {
    ::sched_yield();
}

LocalTime local_time() {
    const time_t now = ::time(nullptr);
    struct tm parts {};
    ::localtime_r(&now, &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.weekday = parts.tm_wday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    return t;
}

int system_error() {
    return errno;
}

void write_stderr(const char* text) {
    if (text == nullptr) return;
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

// There are no message boxes here: the title and the text go to standard
// error, and the call returns at once as if OK had been pressed.
void message_box(window_t, const char* text, const char* title, unsigned) {
    write_stderr(title ? title : "");
    write_stderr(": ");
    write_stderr(text ? text : "");
    const std::size_t n = text ? std::strlen(text) : 0;
    if (n == 0 || text[n - 1] != '\n') write_stderr("\n");
}

window_t focus_window() {
    return 0;
}

// The application's string table is a profile file named by KL_STRINGS:
// section [strings], key = the decimal string number.
std::size_t load_string(unsigned id, std::span<char> out) {
    if (out.empty()) return 0;
    out[0] = '\0';
    const char* file = ::getenv("KL_STRINGS");
    if (file == nullptr || *file == '\0') return 0;
    char key[16];
    ::snprintf(key, sizeof key, "%u", id);
    return read_profile_string(file, "strings", key, "", out);
}

bool append_to_file(const char* path, const char* data, std::size_t length) {
    if (path == nullptr || *path == '\0') return false;
    FILE* file = ::fopen(path, "ae");
    if (file == nullptr) return false;
    const bool written = length == 0 || ::fwrite(data, 1, length, file) == length;
    return ::fclose(file) == 0 && written;
}

bool can_append(const char* path) {
    return append_to_file(path, "", 0);
}

} // namespace kl::platform

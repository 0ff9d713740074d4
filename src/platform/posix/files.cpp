// POSIX stand-in for the private profile reader.
//
// A profile file is a list of sections ("[name]") holding "key=value"
// lines.  The file is read line by line with getline, so lines of any
// length are handled; only the first section whose name matches is
// searched, and the first matching key in it wins.  Lines without '=',
// lines before the first section and lines that begin with ';' are
// ignored.

#include <stdio.h>
#include <stdlib.h>

#include <cstring>
#include <string_view>

#include "platform/platform.h"

namespace kl::platform {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::size_t store(std::span<char> out, std::string_view text) {
    const std::size_t n = text.size() < out.size() - 1 ? text.size() : out.size() - 1;
    if (n > 0) std::memcpy(out.data(), text.data(), n);
    out[n] = '\0';
    return n;
}

// Opens the file: a bare name is looked for in KL_WINDIR (default /etc),
// the stand-in for the Windows directory; a name with a directory part is
// used as given.
FILE* open_profile(const char* file) {
    if (std::strchr(file, '/') != nullptr) return ::fopen(file, "re");
    const char* dir = ::getenv("KL_WINDIR");
    if (dir == nullptr || *dir == '\0') dir = "/etc";
    const std::size_t dir_length = std::strlen(dir);
    const std::size_t file_length = std::strlen(file);
    char* path = static_cast<char*>(::malloc(dir_length + file_length + 2));
    if (path == nullptr) return nullptr;
    std::memcpy(path, dir, dir_length);
    path[dir_length] = '/';
    std::memcpy(path + dir_length + 1, file, file_length + 1);
    FILE* stream = ::fopen(path, "re");
    ::free(path);
    return stream;
}

// Looks the key up in the open file.  When found, stores the value
// (trimmed, enclosing quotes removed, cut to out) and its length.
bool find_value(FILE* stream, std::string_view section, std::string_view key, std::span<char> out,
                std::size_t* stored) {
    char* line = nullptr;
    std::size_t capacity = 0;
    bool in_section = false;
    bool first_line = true;
    bool found = false;
    ssize_t read = 0;
    while ((read = ::getline(&line, &capacity, stream)) >= 0) {
        std::string_view text(line, static_cast<std::size_t>(read));
        if (first_line && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
        first_line = false;
        text = trim(text);
        if (text.empty() || text.front() == ';') continue;
        if (text.front() == '[') {
            const std::size_t close = text.rfind(']');
            if (close == std::string_view::npos) continue;
            // Leaving the first matching section ends the search.
            if (in_section) break;
            in_section = same_name(trim(text.substr(1, close - 1)), section);
            continue;
        }
        if (!in_section) continue;
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        if (!same_name(trim(text.substr(0, equals)), key)) continue;
        std::string_view value = trim(text.substr(equals + 1));
        // A value wholly enclosed in a pair of the same quotes loses them.
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        *stored = store(out, value);
        found = true;
        break;
    }
    ::free(line);
    return found;
}

} // namespace

std::size_t read_profile_string(const char* file, const char* section, const char* key,
                                const char* default_value, std::span<char> out) {
    if (out.empty()) return 0;
    const std::string_view fallback = default_value ? default_value : "";
    if (file == nullptr || section == nullptr || key == nullptr) return store(out, fallback);
    FILE* stream = open_profile(file);
    if (stream == nullptr) return store(out, fallback);
    std::size_t stored = 0;
    const bool found = find_value(stream, trim(section), trim(key), out, &stored);
    ::fclose(stream);
    return found ? stored : store(out, fallback);
}

} // namespace kl::platform

#include "records.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kls {

namespace {

bool is_separator(char c) {
    return c == ',' || c == ' ' || c == '\t';
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_separator(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !is_separator(text[i]))
            ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

std::string column_text(const Row& row, int index) {
    return std::string(row.text(index));
}

// A stored date "YYYY-MM-DD" (or any text with eight digits) as YYYYMMDD.
std::string record_date(const std::string& stored) {
    std::string digits;
    for (char c : stored)
        if (std::isdigit(static_cast<unsigned char>(c)) && digits.size() < 8) digits += c;
    return digits.size() == 8 ? digits : std::string();
}

std::string number_text(const ColumnInfo& column, const Row& row, int index) {
    if (row.is_null(index)) return {};
    if (column.type_code == type_integer) return std::to_string(clamp_i32(row.integer(index)));
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", row.real(index));
    return text;
}

std::string trim(std::string_view text) {
    const auto cut = text.find('\0');
    if (cut != std::string_view::npos) text = text.substr(0, cut);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return std::string(text);
}

} // namespace

void Layout::add(const ColumnInfo& column, bool character, int source) {
    Field f;
    f.column = column;
    f.source = source;
    f.character = character;
    f.offset = length;
    f.length = character ? column.character_length : column.length;
    length += f.length;
    fields.push_back(std::move(f));
}

bool names_every_column(std::string_view list) {
    const std::vector<std::string> words = split_words(list);
    return words.empty() || (words.size() == 1 && words[0] == "*");
}

std::variant<std::vector<ColumnInfo>, UnknownColumn> resolve_columns(const TableInfo& table,
                                                                     std::string_view list) {
    if (names_every_column(list)) return table.columns;
    std::vector<ColumnInfo> columns;
    for (const std::string& word : split_words(list)) {
        const ColumnInfo* c = table.find(word);
        if (c == nullptr) return UnknownColumn{word};
        columns.push_back(*c);
    }
    return columns;
}

Layout make_layout(const std::vector<ColumnInfo>& columns, bool character, int source) {
    Layout layout;
    for (const ColumnInfo& c : columns)
        layout.add(c, character, source);
    return layout;
}

std::string value_text(const ColumnInfo& column, const Row& row, int index) {
    if (column.type_code == type_integer || column.type_code == type_float)
        return number_text(column, row, index);
    if (column.type_code == type_date) return record_date(column_text(row, index));
    return column_text(row, index);
}

void encode_value(const Field& field, const Row& row, int index, bool big_endian,
                  std::span<std::uint8_t> out) {
    const ColumnInfo& c = field.column;
    // Written straight from the row's text, or from a few bytes on the
    // stack: nothing is allocated for a value.
    const auto fill_text = [&](std::string_view text, char pad) {
        const std::size_t n = std::min(text.size(), out.size());
        if (n > 0) std::memcpy(out.data(), text.data(), n); // an empty view may hold no pointer
        std::memset(out.data() + n, pad, out.size() - n);
    };
    if (c.type_code == type_varchar) return fill_text(row.text(index), '\0');
    if (c.is_text()) return fill_text(row.text(index), ' ');
    if (c.type_code == type_date) {
        // A stored date "YYYY-MM-DD" (or any text with eight digits) as
        // YYYYMMDD, else blank.
        char digits[8];
        std::size_t n = 0;
        for (const char ch : row.text(index))
            if (std::isdigit(static_cast<unsigned char>(ch)) && n < sizeof digits) digits[n++] = ch;
        return fill_text(n == sizeof digits ? std::string_view(digits, n) : std::string_view(),
                         ' ');
    }
    if (field.character) {
        char text[40];
        std::size_t n = 0;
        if (row.is_null(index)) {
        } else if (c.type_code == type_integer) {
            n = static_cast<std::size_t>(
                std::to_chars(text, text + sizeof text, clamp_i32(row.integer(index))).ptr - text);
        } else {
            n = static_cast<std::size_t>(
                std::max(0, std::snprintf(text, sizeof text, "%.15g", row.real(index))));
        }
        return fill_text(std::string_view(text, std::min(n, sizeof text)), ' ');
    }
    if (c.type_code == type_integer) {
        put_i32(out.data(), clamp_i32(row.integer(index)), big_endian);
        return;
    }
    put_i64(out.data(), std::bit_cast<std::int64_t>(row.real(index)), big_endian);
}

bool bind_value(const Field& field, std::span<const std::uint8_t> in, bool big_endian,
                Query& statement, int index, std::string& why) {
    const ColumnInfo& c = field.column;
    const std::string_view raw(reinterpret_cast<const char*>(in.data()), in.size());
    // Text ends at its first NUL, and its trailing blanks are padding
    // whichever way the client filled the field.
    if (c.is_text()) {
        statement.bind_text(index, trimmed_field(in));
        return true;
    }
    if (c.type_code == type_date) {
        const std::string text = trim(raw);
        if (text.empty()) {
            statement.bind_null(index);
            return true;
        }
        const bool digits = text.size() == 8 && std::all_of(text.begin(), text.end(), [](char ch) {
                                return std::isdigit(static_cast<unsigned char>(ch));
                            });
        if (!digits) {
            why = "date " + c.name;
            return false;
        }
        statement.bind_text(index,
                            text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2));
        return true;
    }
    if (!field.character) {
        if (c.type_code == type_integer)
            statement.bind_integer(index, get_i32(in.data(), big_endian));
        else
            statement.bind_real(index, std::bit_cast<double>(get_i64(in.data(), big_endian)));
        return true;
    }
    const std::string text = trim(raw);
    if (text.empty()) {
        statement.bind_null(index);
        return true;
    }
    const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
    const char* end = text.data() + text.size();
    if (c.type_code == type_integer) {
        std::int32_t v = 0;
        const auto [at, ec] = std::from_chars(begin, end, v);
        if (ec != std::errc() || at != end) {
            why = "number " + c.name;
            return false;
        }
        statement.bind_integer(index, v);
        return true;
    }
    double v = 0;
    const auto [at, ec] = std::from_chars(begin, end, v);
    if (ec != std::errc() || at != end || !std::isfinite(v)) {
        why = "number " + c.name;
        return false;
    }
    statement.bind_real(index, v);
    return true;
}

std::string trimmed_field(std::span<const std::uint8_t> field) {
    std::string_view text(reinterpret_cast<const char*>(field.data()), field.size());
    text = text.substr(0, text.find('\0'));
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return std::string(text);
}

std::vector<OptionWord> split_options(std::string_view text) {
    std::vector<OptionWord> words;
    for (const std::string& word : split_words(text)) {
        OptionWord w;
        const auto eq = word.find('=');
        w.name = upper_text(word.substr(0, eq));
        if (eq != std::string::npos) w.value = word.substr(eq + 1);
        words.push_back(std::move(w));
    }
    return words;
}

} // namespace kls

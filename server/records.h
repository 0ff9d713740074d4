// Records as clients see them: a layout of fields (columns back to back,
// each in binary or character form), and the conversion of one value
// between the record and the storage.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "storage.h"
#include "wire.h"

namespace kls {

struct Field {
    ColumnInfo column;
    int source = 0; // 0: the selection's own table; 1: the table joined to it
    bool character = false;
    int offset = 0;
    int length = 0;
};

struct Layout {
    std::vector<Field> fields;
    int length = 0;
    void add(const ColumnInfo& column, bool character, int source = 0);
};

// Whether a column list means every column of the table: empty or "*".
bool names_every_column(std::string_view list);

// The columns a column list names ("" or "*": all, in table order; else
// names separated by commas or blanks), or the first unknown name.
struct UnknownColumn {
    std::string name;
};
std::variant<std::vector<ColumnInfo>, UnknownColumn> resolve_columns(const TableInfo& table,
                                                                     std::string_view list);

Layout make_layout(const std::vector<ColumnInfo>& columns, bool character, int source = 0);

// Writes column `index` of the statement's current row into out (exactly
// field.length bytes).
void encode_value(const Field& field, const Row& row, int index, bool big_endian,
                  std::span<std::uint8_t> out);

// The value as text in character form with the padding trimmed (CSV,
// calc results); "" for NULL.
std::string value_text(const ColumnInfo& column, const Row& row, int index);

// Binds the field's bytes as parameter `index`.  False, with a short
// reason, when they do not convert (a bad date or number).
bool bind_value(const Field& field, std::span<const std::uint8_t> in, bool big_endian,
                Query& statement, int index, std::string& why);

// A fixed text field as text: up to its first NUL, trailing blanks
// dropped.
std::string trimmed_field(std::span<const std::uint8_t> field);

// Option words of selections and inserts: words separated by commas or
// blanks, NAME or NAME=VALUE, matched case-blind.
struct OptionWord {
    std::string name; // upper case
    std::string value;
};
std::vector<OptionWord> split_options(std::string_view text);

} // namespace kls

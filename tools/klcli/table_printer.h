// Prints rows of text as an aligned table: a heading line, a rule, and
// the rows, each column as wide as its widest cell, trailing blanks of
// every line trimmed.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace klcli {

class TablePrinter {
  public:
    struct Column {
        std::string title;
        bool right_aligned = false; // numbers
    };

    explicit TablePrinter(std::vector<Column> columns);

    // Takes one row; missing cells print empty, extra cells are dropped.
    // Control characters are shown as '?', so they cannot break the layout.
    void add_row(std::vector<std::string> cells);
    std::size_t row_count() const { return rows_.size(); }

    void print(std::ostream& out) const;

  private:
    std::vector<Column> columns_;
    std::vector<std::vector<std::string>> rows_;
};

// The value of a fixed-width field of a record: its bytes up to the first
// NUL, trailing blanks removed.
std::string field_text(const char* field, std::size_t length);

} // namespace klcli

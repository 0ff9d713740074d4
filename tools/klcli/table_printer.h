// Prints rows of text as an aligned table: a heading line, a rule, and
// the rows, each column as wide as its widest cell, trailing blanks of
// every line trimmed.  A printer told to hold only so many rows prints a
// longer table as the rows come, each column as wide as its given width.
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
        std::size_t width = 0;      // when printing as the rows come (at least the title's)
    };

    explicit TablePrinter(std::vector<Column> columns);

    // From now on at most `rows` rows are held: when one more comes, the
    // heading and the held rows go to out with the columns' own widths,
    // and so does every later row as it comes.  Cells wider than their
    // column push the rest of their line on.
    void hold_at_most(std::size_t rows, std::ostream& out);

    // Takes one row; missing cells print empty, extra cells are dropped.
    // Control characters are shown as '?', so they cannot break the layout.
    void add_row(std::vector<std::string> cells);
    std::size_t row_count() const { return printed_ + rows_.size(); }

    // Prints the rows held (all of them, aligned by content, unless the
    // table has been printing as they came).
    void print(std::ostream& out);

  private:
    void print_line(std::ostream& out, const std::vector<std::string>& cells, bool heading) const;
    void print_heading(std::ostream& out) const;

    std::vector<Column> columns_;
    std::vector<std::vector<std::string>> rows_;
    std::vector<std::size_t> widths_;
    std::size_t held_ = static_cast<std::size_t>(-1);
    std::ostream* stream_ = nullptr; // where rows beyond the held ones go
    std::size_t printed_ = 0;        // rows already printed as they came
};

// The value of a fixed-width field of a record: its bytes up to the first
// NUL, trailing blanks removed.
std::string field_text(const char* field, std::size_t length);

} // namespace klcli

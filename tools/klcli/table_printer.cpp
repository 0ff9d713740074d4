#include "table_printer.h"

#include <algorithm>

namespace klcli {

namespace {

// The width of a text on a terminal, counting each UTF-8 sequence once.
std::size_t display_width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u;
    }));
}

std::string printable(std::string text) {
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20u || u == 0x7Fu) c = '?';
    }
    return text;
}

void trim_end(std::string& line) {
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
}

} // namespace

TablePrinter::TablePrinter(std::vector<Column> columns) : columns_(std::move(columns)) {}

void TablePrinter::hold_at_most(std::size_t rows, std::ostream& out) {
    held_ = rows;
    stream_ = &out;
}

void TablePrinter::add_row(std::vector<std::string> cells) {
    cells.resize(columns_.size());
    for (std::string& cell : cells)
        cell = printable(std::move(cell));
    if (printed_ > 0) {
        print_line(*stream_, cells, false);
        ++printed_;
        return;
    }
    rows_.push_back(std::move(cells));
    if (rows_.size() <= held_) return;
    // One row too many: the table prints from here on as the rows come.
    for (const Column& column : columns_)
        widths_.push_back(std::max(column.width, display_width(column.title)));
    print_heading(*stream_);
    for (const auto& row : rows_)
        print_line(*stream_, row, false);
    printed_ = rows_.size();
    rows_ = {};
}

void TablePrinter::print(std::ostream& out) {
    if (printed_ > 0) return;
    widths_.clear();
    for (const Column& column : columns_)
        widths_.push_back(display_width(column.title));
    for (const auto& row : rows_)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths_[i] = std::max(widths_[i], display_width(row[i]));
    print_heading(out);
    for (const auto& row : rows_)
        print_line(out, row, false);
}

void TablePrinter::print_line(std::ostream& out, const std::vector<std::string>& cells,
                              bool heading) const {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) line += "  ";
        const std::size_t width = display_width(cells[i]);
        const std::string padding(widths_[i] - std::min(width, widths_[i]), ' ');
        if (columns_[i].right_aligned && !heading)
            line += padding + cells[i];
        else
            line += cells[i] + padding;
    }
    trim_end(line);
    out << line << '\n';
}

void TablePrinter::print_heading(std::ostream& out) const {
    std::vector<std::string> titles;
    std::vector<std::string> rules;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        titles.push_back(printable(columns_[i].title));
        rules.push_back(std::string(widths_[i], '-'));
    }
    print_line(out, titles, true);
    print_line(out, rules, true);
}

std::string field_text(const char* field, std::size_t length) {
    const auto* end = std::find(field, field + length, '\0');
    const auto* begin = field;
    while (end != begin && end[-1] == ' ')
        --end;
    return std::string(begin, end);
}

} // namespace klcli

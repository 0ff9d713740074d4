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

void TablePrinter::add_row(std::vector<std::string> cells) {
    cells.resize(columns_.size());
    for (std::string& cell : cells)
        cell = printable(std::move(cell));
    rows_.push_back(std::move(cells));
}

void TablePrinter::print(std::ostream& out) const {
    std::vector<std::size_t> widths;
    for (const Column& column : columns_)
        widths.push_back(display_width(column.title));
    for (const auto& row : rows_)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], display_width(row[i]));

    auto print_line = [&](const std::vector<std::string>& cells, bool heading) {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i > 0) line += "  ";
            const std::string padding(widths[i] - display_width(cells[i]), ' ');
            if (columns_[i].right_aligned && !heading)
                line += padding + cells[i];
            else
                line += cells[i] + padding;
        }
        trim_end(line);
        out << line << '\n';
    };

    std::vector<std::string> titles;
    std::vector<std::string> rules;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        titles.push_back(printable(columns_[i].title));
        rules.push_back(std::string(widths[i], '-'));
    }
    print_line(titles, true);
    print_line(rules, true);
    for (const auto& row : rows_)
        print_line(row, false);
}

std::string field_text(const char* field, std::size_t length) {
    const auto* end = std::find(field, field + length, '\0');
    const auto* begin = field;
    while (end != begin && end[-1] == ' ')
        --end;
    return std::string(begin, end);
}

} // namespace klcli

// klcli's commands.
//
// Every command runs on one connected session.  Catalogue answers carry
// their numbers in the server's byte order (the library passes them on as
// they came); everything else arrives in this machine's order.

#include "commands.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <unistd.h>

#include "table_printer.h"

namespace klcli {

namespace {

constexpr std::size_t name_field_size = KL_NAME_FIELD_SIZE;
// Room for the data of one catalogue answer (at most 1860 bytes).
constexpr std::size_t catalogue_area_size = 2048;
// A server that never says "no more" is not followed further than this.
constexpr int catalogue_request_limit = 100000;

// Columns of other types take this many characters in a row in character form.
constexpr std::size_t character_number_width = KL_CHARACTER_NUMBER_WIDTH;
// The longest text of a 32-bit integer, -2147483648.
constexpr std::size_t integer_text_width = 11;
// klcli select holds at most this many rows to align them by their
// content; a longer result prints as it comes (see select_rows).
constexpr std::size_t held_rows = 1000;

constexpr kl_long most_columns = 2000;

bool is_text_type(kl_long type) {
    return type == KL_TYPE_CHAR || type == KL_TYPE_VARCHAR || type == KL_TYPE_DATE;
}

bool is_number_type(kl_long type) {
    return type == KL_TYPE_INTEGER || type == KL_TYPE_FLOAT;
}

kl_long read_number(const char* at, bool swapped) {
    kl_long value = 0;
    std::memcpy(&value, at, sizeof value);
    if (swapped) {
        kl_long reversed = 0;
        ltol(value, &reversed);
        return reversed;
    }
    return value;
}

// A blank-padded name field of the catalogue.
std::string name_field(const char* at) {
    return field_text(at, name_field_size);
}

std::string padded_name(const std::string& name) {
    std::string field = name;
    field.resize(name_field_size, ' ');
    return field;
}

bool same_name(const std::string& a, const std::string& b) {
    return std::ranges::equal(
        a, b, [](unsigned char x, unsigned char y) { return std::toupper(x) == std::toupper(y); });
}

// Reads every entry of a catalogue question: the first answer, then
// continuation requests (options starting with N) until the server has no
// more.  Only entries that lie whole within what the answer announced are
// passed on.
void read_catalogue(const Session& session, const kl_long* qualifier_items, const char* qualifiers,
                    const kl_long* buffer_items, std::size_t entry_size,
                    const std::function<void(const char*)>& visit) {
    std::array<char, catalogue_area_size> area;
    const char* options = "";
    for (int request = 0; request < catalogue_request_limit; ++request) {
        area.fill(0);
        klstatus status{};
        const std::uint32_t result =
            klgetinfo(session.instance(), options, &status, qualifier_items, qualifiers,
                      buffer_items, area.data());
        if (status.error == KL_ERR_END_OF_CATALOGUE) return;
        check("klgetinfo", result, status);
        const auto announced = static_cast<std::size_t>(std::max<kl_long>(status.bufflen, 0));
        const std::size_t entries =
            std::min({static_cast<std::size_t>(std::max<kl_long>(status.count, 0)),
                      announced / entry_size, area.size() / entry_size});
        if (entries == 0) return;
        for (std::size_t i = 0; i < entries; ++i)
            visit(area.data() + i * entry_size);
        options = "N";
    }
}

struct ColumnDescription {
    kl_long number = 0;
    std::string name;
    std::string type_text;
    kl_long type = 0;
    kl_long length = 0; // in the record
    kl_long offset = 0; // in the record
    kl_long character_length = 0;
};

// The descriptions of the cursor's record layout.
std::vector<ColumnDescription> describe_cursor(const Cursor& cursor) {
    kl_long room = 64;
    for (;;) {
        std::vector<klcolumn_description> area(static_cast<std::size_t>(room));
        klstatus status{};
        check("kldescribe",
              kldescribe(cursor.number(), "", &status, room, reinterpret_cast<char*>(area.data())),
              status);
        if (status.valuesize > room && room < most_columns) {
            room = std::min(status.valuesize, most_columns);
            continue;
        }
        std::vector<ColumnDescription> columns;
        const kl_long count = std::clamp<kl_long>(status.count, 0, room);
        for (kl_long i = 0; i < count; ++i) {
            const klcolumn_description& d = area[static_cast<std::size_t>(i)];
            columns.push_back({.number = d.number,
                               .name = field_text(d.column, sizeof d.column),
                               .type_text = field_text(d.declared_type, sizeof d.declared_type),
                               .type = d.type,
                               .length = d.length,
                               .offset = d.offset,
                               .character_length = d.character_length});
        }
        return columns;
    }
}

// A table's column as the catalogue gives it.
struct TableColumn {
    std::string name;
    kl_long type = 0;
    kl_long length = 0;
};

std::vector<TableColumn> table_columns(const Session& session, const std::string& table) {
    if (table.size() > name_field_size)
        throw UsageError("table name longer than 32 characters: " + table, false);
    const std::string qualifiers = padded_name(table) + padded_name("*");
    const kl_long qualifier_items[] = {KL_ITEM_TABLE, KL_ITEM_COLUMN, 0};
    const kl_long buffer_items[] = {KL_ITEM_COLUMN, KL_ITEM_COLUMN_TYPE, KL_ITEM_COLUMN_LENGTH, 0};
    constexpr std::size_t entry_size = name_field_size + 4 + 4;
    const bool swapped = session.catalogue_swapped();
    std::vector<TableColumn> columns;
    read_catalogue(session, qualifier_items, qualifiers.c_str(), buffer_items, entry_size,
                   [&](const char* entry) {
                       columns.push_back({name_field(entry), read_number(entry + 32, swapped),
                                          read_number(entry + 36, swapped)});
                   });
    return columns;
}

// Shows "fetched n of m rows" on standard error while a long selection
// comes in, when standard error is a terminal.
class Progress {
  public:
    explicit Progress(kl_long total)
        : total_(total), shown_(total > shown_above && isatty(STDERR_FILENO) == 1) {}
    ~Progress() { stop(); }
    // Erases the line for good (before rows go to a terminal as they come).
    void stop() {
        if (shown_) std::cerr << '\r' << std::string(width_, ' ') << '\r' << std::flush;
        shown_ = false;
    }
    void update(kl_long fetched) {
        if (!shown_) return;
        const std::string line =
            "fetched " + std::to_string(fetched) + " of " + std::to_string(total_) + " rows";
        width_ = std::max(width_, line.size());
        std::cerr << '\r' << line << std::flush;
    }

  private:
    static constexpr kl_long shown_above = 300;
    kl_long total_;
    bool shown_;
    std::size_t width_ = 0;
};

std::string host_type_text(std::uint16_t host_type) {
    switch (host_type) {
    case 1:
        return "1 (little-endian)";
    case 2:
    case 3:
        return std::to_string(host_type) + " (big-endian)";
    default:
        return std::to_string(host_type);
    }
}

} // namespace

void list_tables(const Session& session) {
    const kl_long qualifier_items[] = {0};
    const kl_long buffer_items[] = {KL_ITEM_TABLE, KL_ITEM_TABLE_COLUMNS, KL_ITEM_TABLE_ROWS, 0};
    constexpr std::size_t entry_size = name_field_size + 4 + 4;
    const bool swapped = session.catalogue_swapped();
    TablePrinter printer({{"table"}, {"columns", true}, {"rows", true}});
    read_catalogue(session, qualifier_items, "", buffer_items, entry_size, [&](const char* entry) {
        printer.add_row({name_field(entry), std::to_string(read_number(entry + 32, swapped)),
                         std::to_string(read_number(entry + 36, swapped))});
    });
    printer.print(std::cout);
}

void describe_table(const Session& session, const std::string& table) {
    Cursor cursor(session);
    klstatus status{};
    check("klselect", klselect(cursor.number(), "", &status, table.c_str(), "", ""), status);
    TablePrinter printer({{"#", true},
                          {"column"},
                          {"type"},
                          {"code", true},
                          {"length", true},
                          {"char length", true}});
    for (const ColumnDescription& c : describe_cursor(cursor))
        printer.add_row({std::to_string(c.number), c.name, c.type_text, std::to_string(c.type),
                         std::to_string(c.length), std::to_string(c.character_length)});
    printer.print(std::cout);
}

void select_rows(const Session& session, const std::string& table, const std::string& columns,
                 const std::string& criteria, long limit) {
    Cursor cursor(session);
    std::string options = "CHAR";
    if (limit > 0) options += ",LIMIT=" + std::to_string(limit);
    klstatus status{};
    check("klselect",
          klselect(cursor.number(), options.c_str(), &status, table.c_str(), columns.c_str(),
                   criteria.c_str()),
          status);
    const kl_long record_length = status.bufflen;
    kl_long wanted = std::max<kl_long>(status.count, 0);
    if (limit > 0) wanted = std::min<kl_long>(wanted, static_cast<kl_long>(limit));

    const std::vector<ColumnDescription> layout = describe_cursor(cursor);
    std::vector<TablePrinter::Column> titles;
    for (const ColumnDescription& c : layout) {
        if (c.offset < 0 || c.length < 0 || c.offset > record_length - c.length)
            throw CallFailure("kldescribe: column " + c.name + " lies outside the record of " +
                              std::to_string(record_length) + " bytes");
        // Beyond the rows held, a column is as wide as its longest value
        // can be.
        const auto longest =
            c.type == KL_TYPE_INTEGER
                ? integer_text_width
                : static_cast<std::size_t>(std::max<kl_long>(c.character_length, 0));
        titles.push_back({c.name, is_number_type(c.type), longest});
    }
    // Memory does not grow with the rows: a longer result prints as it
    // comes, with the widths above.
    TablePrinter printer(std::move(titles));
    printer.hold_at_most(held_rows, std::cout);

    // klfetch places what the server sends for the records asked for; the
    // area holds that and one answer more, so even a server that sends
    // more than it should stays inside it.
    const kl_long batch =
        record_length > 0 ? std::clamp<kl_long>(16384 / record_length, 1, 500) : 0;
    std::vector<char> area(static_cast<std::size_t>(batch * record_length) + 2048);
    Progress progress(wanted);
    kl_long fetched = 0;
    while (batch > 0 && fetched < wanted) {
        const kl_long count = std::min(batch, wanted - fetched);
        status = klstatus{};
        const std::uint32_t result = klfetch(cursor.number(), "", &status, count, area.data());
        if (status.error == KL_ERR_NO_MORE_RECORDS) break;
        check("klfetch", result, status);
        const kl_long got = std::clamp<kl_long>(status.count, 0, count);
        if (static_cast<std::size_t>(fetched + got) > held_rows) progress.stop();
        for (kl_long r = 0; r < got; ++r) {
            const char* record = area.data() + static_cast<std::size_t>(r * record_length);
            std::vector<std::string> cells;
            for (const ColumnDescription& c : layout) {
                std::string cell =
                    field_text(record + c.offset, static_cast<std::size_t>(c.length));
                if (is_number_type(c.type)) cell.erase(0, cell.find_first_not_of(' '));
                cells.push_back(std::move(cell));
            }
            printer.add_row(std::move(cells));
        }
        fetched += got;
        progress.update(fetched);
        if (got < count || status.warn == KL_ERR_NO_MORE_RECORDS) break;
    }
    printer.print(std::cout);
    std::cout << '(' << printer.row_count() << (printer.row_count() == 1 ? " row)\n" : " rows)\n");
}

void insert_row(const Session& session, const std::string& table,
                const std::vector<std::string>& assignments) {
    const std::vector<TableColumn> columns = table_columns(session, table);
    if (columns.empty()) throw CallFailure("klgetinfo: table " + table + " has no columns");

    // The row in character form: every column in table order, text types
    // as wide as the column, other types 32 characters, blank-padded.
    std::vector<std::string> values(columns.size());
    std::vector<bool> given(columns.size(), false);
    std::string named;
    for (const std::string& assignment : assignments) {
        const std::size_t equals = assignment.find('=');
        if (equals == std::string::npos || equals == 0)
            throw UsageError("insert takes COLUMN=VALUE, not '" + assignment + "'");
        const std::string name = assignment.substr(0, equals);
        std::string value = assignment.substr(equals + 1);
        const auto found = std::ranges::find_if(
            columns, [&](const TableColumn& c) { return same_name(c.name, name); });
        if (found == columns.end())
            throw UsageError("table " + table + " has no column " + name, false);
        const auto index = static_cast<std::size_t>(found - columns.begin());
        if (given[index]) throw UsageError("column " + name + " is given twice", false);
        // A date may be written YYYY-MM-DD; the row holds YYYYMMDD.
        if (found->type == KL_TYPE_DATE && value.size() == 10 && value[4] == '-' && value[7] == '-')
            value = value.substr(0, 4) + value.substr(5, 2) + value.substr(8, 2);
        given[index] = true;
        values[index] = std::move(value);
        if (!named.empty()) named += ',';
        named += found->name;
    }

    std::string row;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const TableColumn& c = columns[i];
        if (is_text_type(c.type) && (c.length < 0 || c.length > 2048))
            throw CallFailure("klgetinfo: column " + c.name + " has length " +
                              std::to_string(c.length));
        const std::size_t width =
            is_text_type(c.type) ? static_cast<std::size_t>(c.length) : character_number_width;
        if (values[i].size() > width)
            throw UsageError("the value for " + c.name + " is longer than its " +
                                 std::to_string(width) + " characters",
                             false);
        row += values[i];
        row.append(width - values[i].size(), ' ');
    }

    klstatus status{};
    check("klinsert",
          klinsert(session.instance(), "CHAR", &status, table.c_str(), named.c_str(), row.c_str()),
          status);
    std::cout << "inserted row " << status.info << '\n';
}

void show_information() {
    std::uint16_t host_type = 0;
    klstatus none{};
    check("apiinfo", apiinfo(0, "hosttype", nullptr, &host_type), none);
    std::array<char, 16> host_version{};
    check("apihostversion", apihostversion(host_version.data()), none);
    // apiinfo gives the library's version as apiversion does, without the
    // information boxes apiversion shows (on standard error on Linux).
    std::array<char, 32> library_version{};
    check("apiinfo", apiinfo(0, "clientversion", nullptr, library_version.data()), none);
    std::cout << "host type     " << host_type_text(host_type) << '\n'
              << "host version  " << field_text(host_version.data(), 8) << '\n'
              << "library       " << field_text(library_version.data(), library_version.size())
              << '\n';
}

void show_versions(const Session& session) {
    TablePrinter printer({{"name"}, {"description"}, {"version", true}, {"version text"}});
    auto add = [&](const klversion_record& r) {
        printer.add_row({field_text(r.na_name, sizeof r.na_name),
                         field_text(r.description, sizeof r.description), std::to_string(r.version),
                         field_text(r.version_text, sizeof r.version_text)});
    };

    // An empty node name asks the library for its own record.
    klversion_record own{};
    klstatus status{};
    check("klversion", klversion(session.instance(), "", &status, "", 0, &own), status);
    add(own);

    // klversion writes as many records as the server announces, never more
    // than its maximum: an area of that many is always enough.
    constexpr kl_long room = KL_VERSION_MAX_RECORDS;
    std::vector<klversion_record> records(room);
    const std::string node = session.node();
    status = klstatus{};
    check("klversion", klversion(session.instance(), "", &status, node.c_str(), 0, records.data()),
          status);
    for (kl_long i = 0; i < std::clamp<kl_long>(status.count, 0, room); ++i)
        add(records[static_cast<std::size_t>(i)]);
    printer.print(std::cout);
}

void show_error_text(kl_long number) {
    klstatus status{};
    status.error = number;
    const std::string text = message_text(status);
    if (text.empty()) throw CallFailure("klerror: no text for error " + std::to_string(number));
    std::cout << text << '\n';
}

void run_command(const Arguments& args) {
    // The error number is checked before connecting.
    kl_long error_number = 0;
    if (args.command == "error") {
        const std::string& text = args.operands[0];
        const char* end = text.data() + text.size();
        const auto [at, error] = std::from_chars(text.data(), end, error_number);
        if (error != std::errc{} || at != end) throw UsageError("not an error number: " + text);
    }

    Session session(args.connect);
    const std::string& command = args.command;
    const std::vector<std::string>& operands = args.operands;
    if (command == "tables") {
        list_tables(session);
    } else if (command == "describe") {
        describe_table(session, operands[0]);
    } else if (command == "select") {
        std::string columns;
        for (std::size_t i = 1; i < operands.size(); ++i)
            columns += (i > 1 ? "," : "") + operands[i];
        select_rows(session, operands[0], columns, args.where, args.limit.value_or(0));
    } else if (command == "insert") {
        insert_row(session, operands[0], {operands.begin() + 1, operands.end()});
    } else if (command == "info") {
        show_information();
    } else if (command == "version") {
        show_versions(session);
    } else if (command == "error") {
        show_error_text(error_number);
    }
    session.close();
}

} // namespace klcli

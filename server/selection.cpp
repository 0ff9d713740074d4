#include "selection.h"

#include <charconv>

#include "server_errors.h"

namespace kls {

namespace {

// The SELECT list of one side of a layout.
std::string select_list(const Layout& layout, int source) {
    std::string list;
    for (const Field& f : layout.fields) {
        if (f.source != source) continue;
        if (!list.empty()) list += ", ";
        list += quote_identifier(f.column.name);
    }
    return list.empty() ? "1" : list;
}

void bind_parameters(Query& statement, const CompiledCriteria& criteria,
                     const std::vector<std::string>* values) {
    int index = 1;
    for (const Parameter& p : criteria.parameters) {
        switch (p.kind) {
        case Parameter::Kind::integer:
            statement.bind_integer(index, p.integer);
            break;
        case Parameter::Kind::real:
            statement.bind_real(index, p.real);
            break;
        case Parameter::Kind::text:
            statement.bind_text(index, p.text);
            break;
        case Parameter::Kind::placeholder:
            if (values != nullptr && p.placeholder >= 0 &&
                static_cast<std::size_t>(p.placeholder) < values->size())
                statement.bind_text(index, (*values)[static_cast<std::size_t>(p.placeholder)]);
            else
                statement.bind_null(index);
            break;
        }
        ++index;
    }
}

} // namespace

std::variant<Selection, Status> make_selection(Database& db, RequestMemory& memory,
                                               std::string_view table, std::string_view columns,
                                               std::string_view criteria,
                                               std::string_view options) {
    Selection s;
    std::optional<TableInfo> info = db.table(table);
    if (!info) return no_table(db, table);
    s.table = std::move(*info);
    s.key = db.row_key(s.table);
    if (s.key.empty()) return error_status(err_no_row_key, s.table.name);

    auto resolved = resolve_columns(s.table, columns);
    if (auto* unknown = std::get_if<UnknownColumn>(&resolved))
        return error_status(err_no_column, unknown->name);
    s.columns = std::get<std::vector<ColumnInfo>>(std::move(resolved));

    bool descending = false;
    std::string order_column;
    for (const OptionWord& w : split_options(options)) {
        if (w.name == "CHAR" && w.value.empty()) {
            s.character = true;
        } else if (w.name == "DESC" && w.value.empty()) {
            descending = true;
        } else if (w.name == "ORDER" && !w.value.empty()) {
            const ColumnInfo* c = s.table.find(w.value);
            if (c == nullptr) return error_status(err_no_column, w.value);
            order_column = ordered_column(c->name, c->is_text(), db.dialect());
        } else if (w.name == "LIMIT" && !w.value.empty()) {
            const auto [end, ec] =
                std::from_chars(w.value.data(), w.value.data() + w.value.size(), s.limit);
            if (ec != std::errc() || end != w.value.data() + w.value.size() || s.limit < 0)
                return error_status(err_bad_option, w.name + "=" + w.value);
        } else {
            return error_status(err_bad_option, w.name);
        }
    }
    // Rows equal in the ORDER column come in key order, in the same
    // direction, so both backends give one order (SQLite reading an index
    // on the column gives that order anyway; PostgreSQL's sort would
    // otherwise leave ties in any order).
    const std::string direction = descending ? " DESC" : "";
    s.order = order_column.empty() ? s.key + direction
                                   : order_column + direction + ", " + s.key + direction;
    s.layout = make_layout(s.columns, s.character);

    const TableInfo& t = s.table;
    auto compiled = compile_criteria(
        criteria,
        [&t](std::string_view name) {
            const ColumnInfo* c = t.find(name);
            if (c == nullptr) return std::optional<CriteriaColumn>();
            return std::optional<CriteriaColumn>(CriteriaColumn(
                c->name, c->is_text(), c->type_code == type_integer || c->type_code == type_float));
        },
        db.dialect());
    if (auto* error = std::get_if<CriteriaError>(&compiled))
        return error_status(error->number, error->text, error->offset);
    s.criteria = std::get<CompiledCriteria>(std::move(compiled));

    if (s.criteria.placeholders == 0) {
        auto rows = find_rows(db, memory, s, nullptr);
        if (auto* error = std::get_if<Status>(&rows)) return *error;
        s.rows = std::get<std::vector<Entry>>(std::move(rows));
    }
    return s;
}

std::variant<std::vector<Entry>, Status> find_rows(Database& db, RequestMemory& memory,
                                                   const Selection& s,
                                                   const std::vector<std::string>* values) {
    std::string sql = "SELECT " + s.key + " FROM " + quote_identifier(s.table.name);
    if (!s.criteria.sql.empty()) sql += " WHERE " + s.criteria.sql;
    sql += " ORDER BY " + s.order;
    if (s.limit >= 0) sql += " LIMIT " + std::to_string(s.limit);
    const std::unique_ptr<Query> statement = db.prepare(sql);
    if (!statement) return storage_error(db);
    bind_parameters(*statement, s.criteria, values);
    std::vector<Entry> rows;
    Query::Step result;
    while ((result = statement->step()) == Query::Step::row) {
        if (!memory.room(rows)) return memory_error("selection rows");
        rows.push_back(Entry{statement->integer(0), 0});
    }
    if (result != Query::Step::done) return storage_error(db);
    return rows;
}

RecordReader::RecordReader(Database& db, const Selection& selection)
    : selection_(selection), own_(db.prepare("SELECT " + select_list(selection.layout, 0) +
                                             " FROM " + quote_identifier(selection.table.name) +
                                             " WHERE " + selection.key + " = ?")) {
    if (selection.join)
        joined_ = db.prepare("SELECT " + select_list(selection.layout, 1) + " FROM " +
                             quote_identifier(selection.join->table.name) + " WHERE " +
                             selection.join->key + " = ?");
    failed_ = !own_ || (selection.join && !joined_);
}

bool RecordReader::read(const Entry& entry, bool big_endian, std::span<std::uint8_t> out) {
    const Layout& layout = selection_.layout;
    if (failed_ || out.size() < static_cast<std::size_t>(layout.length)) return false;
    // Reads the row of key through query; false when it is gone.
    const auto row = [this](Query& query, std::int64_t key) {
        query.reset();
        query.bind_integer(1, key);
        const Query::Step step = query.step();
        failed_ = step == Query::Step::failed;
        return step == Query::Step::row;
    };
    if (!row(*own_, entry.rowid)) return false;
    bool joined_row = false;
    if (selection_.join) {
        if (!row(*joined_, entry.joined)) return false;
        joined_row = true;
    }
    int own_index = 0;
    int joined_index = 0;
    for (const Field& f : layout.fields) {
        const auto place =
            out.subspan(static_cast<std::size_t>(f.offset), static_cast<std::size_t>(f.length));
        if (f.source == 0)
            encode_value(f, *own_, own_index++, big_endian, place);
        else if (joined_row)
            encode_value(f, *joined_, joined_index++, big_endian, place);
    }
    return true;
}

} // namespace kls

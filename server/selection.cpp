#include "selection.h"

#include <algorithm>
#include <charconv>

#include "server_errors.h"

namespace kls {

namespace {

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
    : db_(db), selection_(selection) {
    const auto side = [&selection](int source, const std::string& table, const std::string& key) {
        Side sd;
        sd.source = source;
        sd.key = key;
        std::string list = key;
        for (const Field& f : selection.layout.fields) {
            if (f.source != source) continue;
            list += ", " + quote_identifier(f.column.name);
            sd.fields.push_back(&f);
        }
        sd.select = "SELECT " + list + " FROM " + quote_identifier(table) + " WHERE ";
        return sd;
    };
    own_ = side(0, selection.table.name, selection.key);
    if (selection.join) joined_ = side(1, selection.join->table.name, selection.join->key);
}

bool RecordReader::read_side(Side& side, std::span<const Entry> entries, bool big_endian,
                             std::span<std::uint8_t> records, std::vector<char>& found) {
    const auto length = static_cast<std::size_t>(selection_.layout.length);
    places_.clear();
    for (std::size_t k = 0; k < entries.size(); ++k)
        places_.emplace_back(side.source == 0 ? entries[k].rowid : entries[k].joined,
                             static_cast<std::uint32_t>(k));
    if (!std::is_sorted(places_.begin(), places_.end())) std::sort(places_.begin(), places_.end());
    const std::int64_t low = places_.front().first;
    const std::int64_t high = places_.back().first;
    // Keys close together are read as their range, the rows between them
    // that the batch does not hold passed over; scattered ones by list.
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    const bool by_range = span < 2 * static_cast<std::uint64_t>(entries.size()) + 64;
    std::unique_ptr<Query>& query = by_range ? side.range : side.list;
    if (!query) {
        query = db_.prepare_bounded(
            side.select + side.key +
            (by_range ? " BETWEEN ? AND ?" : " IN (" + db_.key_list_source() + ")"));
        if (!query) return !(failed_ = true);
    }
    query->reset();
    if (by_range) {
        query->bind_integer(1, low);
        query->bind_integer(2, high);
    } else {
        keys_.clear();
        for (const auto& place : places_)
            if (keys_.empty() || keys_.back() != place.first) keys_.push_back(place.first);
        query->bind_text(1, db_.key_list_text(keys_));
    }
    Query::Step step;
    // A range comes in key order, so the next row is mostly the next place.
    auto next = places_.begin();
    while ((step = query->step()) == Query::Step::row) {
        const std::int64_t key = query->integer(0);
        auto at = next != places_.end() && next->first == key
                      ? next
                      : std::lower_bound(places_.begin(), places_.end(),
                                         std::pair<std::int64_t, std::uint32_t>(key, 0));
        for (; at != places_.end() && at->first == key; ++at) {
            std::uint8_t* record = records.data() + at->second * length;
            int column = 1;
            for (const Field* f : side.fields)
                encode_value(*f, *query, column++, big_endian,
                             {record + f->offset, static_cast<std::size_t>(f->length)});
            found[at->second] = 1;
        }
        next = at;
    }
    // Done with the statement: on SQLite this ends its read of the file.
    query->reset();
    return !(failed_ = step != Query::Step::done);
}

bool RecordReader::read(std::span<const Entry> entries, bool big_endian,
                        std::span<std::uint8_t> records, std::vector<char>& found) {
    found.assign(entries.size(), 0);
    if (entries.empty()) return true;
    const auto length = static_cast<std::size_t>(selection_.layout.length);
    if (records.size() < entries.size() * length) return !(failed_ = true);
    if (!read_side(own_, entries, big_endian, records, found)) return false;
    if (joined_) {
        joined_found_.assign(entries.size(), 0);
        if (!read_side(*joined_, entries, big_endian, records, joined_found_)) return false;
        for (std::size_t k = 0; k < entries.size(); ++k)
            found[k] = static_cast<char>(found[k] && joined_found_[k]);
    }
    return true;
}

bool RecordReader::read(const Entry& entry, bool big_endian, std::span<std::uint8_t> out) {
    std::vector<char> found;
    return read(std::span<const Entry>(&entry, 1), big_endian, out, found) && found[0];
}

} // namespace kls

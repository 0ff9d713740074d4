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
    const std::unique_ptr<Query> statement = db.prepare_scan(sql);
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

Query* RecordReader::begin_side(Side& side, std::span<const Entry> entries, int buffer) {
    const auto key_of = [&side](const Entry& e) { return side.source == 0 ? e.rowid : e.joined; };
    std::int64_t low = key_of(entries.front());
    std::int64_t high = low;
    for (const Entry& e : entries) {
        low = std::min(low, key_of(e));
        high = std::max(high, key_of(e));
    }
    // Keys close together are read as their range, the rows between them
    // that the batch does not hold passed over; scattered ones by list.
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    const bool by_range = span < 2 * static_cast<std::uint64_t>(entries.size()) + 64;
    std::unique_ptr<Query>& query = side.queries[by_range ? 1 : 0][buffer];
    if (!query) {
        query = db_.prepare_bounded(
            side.select + side.key +
            (by_range ? " BETWEEN ? AND ?" : " IN (" + db_.key_list_source() + ")"));
        if (!query) {
            failed_ = true;
            return nullptr;
        }
    }
    query->reset();
    if (by_range) {
        query->bind_integer(1, low);
        query->bind_integer(2, high);
    } else {
        keys_.clear();
        for (const Entry& e : entries)
            keys_.push_back(key_of(e));
        std::sort(keys_.begin(), keys_.end());
        keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
        query->bind_text(1, db_.key_list_text(keys_));
    }
    return query.get();
}

bool RecordReader::finish_side(Side& side, Query& query, std::span<const Entry> entries,
                               bool big_endian, std::span<std::uint8_t> records,
                               std::vector<char>& found, std::span<const Entry> ahead) {
    const auto length = static_cast<std::size_t>(selection_.layout.length);
    places_.clear();
    for (std::size_t k = 0; k < entries.size(); ++k)
        places_.emplace_back(side.source == 0 ? entries[k].rowid : entries[k].joined,
                             static_cast<std::uint32_t>(k));
    if (!std::is_sorted(places_.begin(), places_.end())) std::sort(places_.begin(), places_.end());
    Query::Step step = query.step();
    // The batch's rows are in hand (on PostgreSQL its whole result): the
    // next batch goes to the database while these are encoded.
    if (!ahead.empty() && step != Query::Step::failed) {
        // Should its statement not prepare, the next read tells.
        const bool failed = failed_;
        buffer_ ^= 1;
        sent_ = {begin_side(side, ahead, buffer_), ahead.data(), ahead.size()};
        if (sent_.query != nullptr) sent_.query->send();
        failed_ = failed;
    }
    // A range comes in key order, so the next row is mostly the next place.
    auto next = places_.begin();
    for (; step == Query::Step::row; step = query.step()) {
        const std::int64_t key = query.integer(0);
        auto at = next != places_.end() && next->first == key
                      ? next
                      : std::lower_bound(places_.begin(), places_.end(),
                                         std::pair<std::int64_t, std::uint32_t>(key, 0));
        for (; at != places_.end() && at->first == key; ++at) {
            std::uint8_t* record = records.data() + at->second * length;
            int column = 1;
            for (const Field* f : side.fields)
                encode_value(*f, query, column++, big_endian,
                             {record + f->offset, static_cast<std::size_t>(f->length)});
            found[at->second] = 1;
        }
        next = at;
    }
    // Done with the statement: on SQLite this ends its read of the file.
    query.reset();
    return !(failed_ = step != Query::Step::done);
}

bool RecordReader::read(std::span<const Entry> entries, bool big_endian,
                        std::span<std::uint8_t> records, std::vector<char>& found,
                        std::span<const Entry> next) {
    found.assign(entries.size(), 0);
    if (entries.empty()) return true;
    const auto length = static_cast<std::size_t>(selection_.layout.length);
    if (records.size() < entries.size() * length) return !(failed_ = true);
    // The own table's statement of this batch may have been sent ahead.
    Query* own =
        sent_.query != nullptr && sent_.first == entries.data() && sent_.size == entries.size()
            ? sent_.query
            : begin_side(own_, entries, buffer_);
    sent_ = {};
    if (own == nullptr) return false;
    // Only a selection of one table reads ahead.
    if (!finish_side(own_, *own, entries, big_endian, records, found,
                     joined_ ? std::span<const Entry>() : next))
        return false;
    if (joined_) {
        joined_found_.assign(entries.size(), 0);
        Query* joined = begin_side(*joined_, entries, 0);
        if (joined == nullptr ||
            !finish_side(*joined_, *joined, entries, big_endian, records, joined_found_, {}))
            return false;
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

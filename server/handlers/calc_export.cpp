// Join, calc and export: a selection paired with the rows of another
// table, a figure over one of its columns, and its rows written to a CSV
// file in the export folder.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string_view>
#include <variant>

#include "files.h"
#include "handlers.h"
#include "protocol.h"
#include "server_errors.h"

namespace kls {

namespace {

constexpr std::size_t calc_result_size = 32;

std::string format_double(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

enum class Function { count, sum, avg, min, max };

std::optional<Function> calc_function(std::string_view options) {
    const std::vector<OptionWord> words = split_options(options);
    if (words.size() != 1 || !words[0].value.empty()) return std::nullopt;
    static constexpr std::pair<std::string_view, Function> names[] = {
        {"COUNT", Function::count}, {"SUM", Function::sum}, {"AVG", Function::avg},
        {"MIN", Function::min},     {"MAX", Function::max},
    };
    for (const auto& [name, function] : names)
        if (words[0].name == name) return function;
    return std::nullopt;
}

// Running figures over the values of one column.  Numbers are kept as
// numbers (integers exactly); text and dates compare as their record text
// (YYYYMMDD orders dates).
class Figures {
  public:
    Figures(const ColumnInfo& column, Function function) : column_(column), function_(function) {}

    // Adds the value in column 0 of the row; false when an integer sum
    // overflows.
    bool add(const Row& row) {
        if (row.is_null(0)) return true;
        const bool first = count_ == 0;
        ++count_;
        if (column_.type_code == type_integer) {
            const std::int64_t v = row.integer(0);
            if (__builtin_add_overflow(sum_, v, &sum_)) return false;
            if (first || v < low_) low_ = v;
            if (first || v > high_) high_ = v;
        } else if (column_.type_code == type_float) {
            const double v = row.real(0);
            real_sum_ += v;
            if (first || v < real_low_) real_low_ = v;
            if (first || v > real_high_) real_high_ = v;
        } else {
            std::string v = value_text(column_, row, 0);
            if (first || v < text_low_) text_low_ = v;
            if (first || v > text_high_) text_high_ = std::move(v);
        }
        return true;
    }

    std::int64_t count() const { return count_; }

    // The result as text; "" when there were no values to work on.
    std::string result() const {
        if (function_ == Function::count) return std::to_string(count_);
        if (count_ == 0) return {};
        const bool integer = column_.type_code == type_integer;
        switch (function_) {
        case Function::sum:
            return integer ? std::to_string(sum_) : format_double(real_sum_);
        case Function::avg:
            return format_double((integer ? static_cast<double>(sum_) : real_sum_) /
                                 static_cast<double>(count_));
        case Function::min:
            if (integer) return std::to_string(low_);
            return column_.type_code == type_float ? format_double(real_low_) : text_low_;
        case Function::max:
            if (integer) return std::to_string(high_);
            return column_.type_code == type_float ? format_double(real_high_) : text_high_;
        case Function::count:
            break;
        }
        return {};
    }

  private:
    const ColumnInfo& column_;
    Function function_;
    std::int64_t count_ = 0;
    std::int64_t sum_ = 0;
    std::int64_t low_ = 0;
    std::int64_t high_ = 0;
    double real_sum_ = 0;
    double real_low_ = 0;
    double real_high_ = 0;
    std::string text_low_;
    std::string text_high_;
};

// A CSV field: quoted when it holds a comma, a quote or a line break.
void put_csv_field(std::string& line, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        line += text;
        return;
    }
    line += '"';
    for (char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

// The pairs of a join: every distinct row of the selection, in the order
// it first comes in the selection (a cursor joined before has its rows
// joined again), with each row of the to table whose to column equals its
// from column, in key order.  The database compares the two columns as
// the join "from = to" would (SQLite: affinities and the from column's
// collation; PostgreSQL: its own comparison of the two types).
//
// The work is bounded by the selection, not by the to table: the
// selection's rows are looked up by key into a small table of their join
// values, and the to table is then either searched through an index on
// its column, once per selected row, or, without a usable index, scanned
// once, each of its rows looked up among the selected values.  What is
// held in memory is the selection's distinct keys and the pairs found,
// both counted against the request's memory.
std::variant<std::vector<Entry>, Status>
join_rows(Database& db, RequestMemory& memory, const Selection& s, const ColumnInfo& from,
          const TableInfo& to_table, const std::string& to_key, const ColumnInfo& to) {
    // The distinct rowids, in rowid order, each with the place it first
    // has in the selection.
    struct Key {
        std::int64_t rowid;
        std::int64_t place;
        auto operator<=>(const Key&) const = default;
    };
    std::vector<Key> keys;
    if (!memory.room(keys, s.rows.size())) return memory_error("join rows");
    for (std::size_t k = 0; k < s.rows.size(); ++k)
        keys.push_back(Key{s.rows[k].rowid, static_cast<std::int64_t>(k)});
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end(),
                           [](const Key& a, const Key& b) { return a.rowid == b.rowid; }),
               keys.end());

    // The keys go to the database as one bound list.  It keeps a list of
    // them, each selected row with its from value, and an index of those
    // values: counted as a few dozen bytes a row (long texts take more).
    constexpr std::size_t longest_key = 21; // "-9223372036854775808,"
    constexpr std::size_t working_row = 64;
    if (!memory.charge(keys.size() * (longest_key + working_row) + 2))
        return memory_error("join rows");
    std::vector<std::int64_t> key_values;
    key_values.reserve(keys.size());
    for (const Key& key : keys)
        key_values.push_back(key.rowid);
    const std::string key_list = db.key_list_text(key_values);
    key_values = {};

    // The selected rows' table is named so as not to hide either table.
    std::string sel = "sel";
    while (equal_ignoring_case(sel, s.table.name) || equal_ignoring_case(sel, to_table.name))
        sel += '_';
    const std::string selected = "WITH " + sel + "(k, v) AS MATERIALIZED (SELECT " + s.key + ", " +
                                 quote_identifier(from.name) + " FROM " +
                                 quote_identifier(s.table.name) + " WHERE " + s.key + " IN (" +
                                 db.key_list_source() + ")) ";
    const std::string to_name = quote_identifier(to_table.name);
    const std::string on = " ON " + sel + ".v = b." + quote_identifier(to.name);
    const std::string pair = "SELECT " + sel + ".k, b." + to_key + " FROM ";
    // SQLite keeps the tables of a CROSS JOIN in the order written, which
    // picks the plan; PostgreSQL plans a JOIN either way.
    const std::string join = db.dialect() == Dialect::sqlite ? " CROSS JOIN " : " JOIN ";
    const std::string by_index = selected + pair + sel + join + to_name + " AS b" + on;
    const std::string by_scan = selected + pair + to_name + " AS b" + join + sel + on;
    const std::unique_ptr<Query> pairs =
        db.prepare(db.searches_by_index(by_index) ? by_index : by_scan);
    if (!pairs) return storage_error(db);
    pairs->bind_text(1, key_list);

    // The pairs found, as (place of the selected row, joined rowid) until
    // sorted into the selection's order.
    std::vector<Entry> rows;
    Query::Step result;
    while ((result = pairs->step()) == Query::Step::row) {
        const std::int64_t rowid = pairs->integer(0);
        const auto key = std::lower_bound(keys.begin(), keys.end(), Key{rowid, 0});
        if (key == keys.end() || key->rowid != rowid) continue;
        if (!memory.room(rows)) return memory_error("join pairs");
        rows.push_back(Entry{key->place, pairs->integer(1)});
    }
    if (result != Query::Step::done) return storage_error(db);
    std::sort(rows.begin(), rows.end(), [](const Entry& a, const Entry& b) {
        return a.rowid != b.rowid ? a.rowid < b.rowid : a.joined < b.joined;
    });
    for (Entry& e : rows)
        e.rowid = s.rows[static_cast<std::size_t>(e.rowid)].rowid;
    return rows;
}

} // namespace

void handle_join(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::string from_table = ex.in.string();
    const std::string from_column = ex.in.string();
    const std::string to_table = ex.in.string();
    const std::string to_column = ex.in.string();
    const std::string options = ex.in.string();
    const auto target = request_target(ex, id, true);
    if (!target) return;
    auto [c, inst, s] = *target;
    Database& db = *inst->db;

    if (!from_table.empty() && !equal_ignoring_case(from_table, s->table.name))
        return void(ex.answer(error_status(err_no_table, from_table)));
    const ColumnInfo* from = s->table.find(from_column);
    if (from == nullptr) return void(ex.answer(error_status(err_no_column, from_column)));
    std::optional<TableInfo> to_info = db.table(to_table);
    if (!to_info) return void(ex.answer(no_table(db, to_table)));
    const ColumnInfo* to = to_info->find(to_column);
    if (to == nullptr) return void(ex.answer(error_status(err_no_column, to_column)));
    std::string to_key = db.row_key(*to_info);
    if (to_key.empty()) return void(ex.answer(error_status(err_no_row_key, to_info->name)));
    if (const auto words = split_options(options); !words.empty())
        return void(ex.answer(error_status(err_bad_option, words[0].name)));

    auto joined = join_rows(db, ex.memory, *s, *from, *to_info, to_key, *to);
    if (auto* error = std::get_if<Status>(&joined)) return void(ex.answer(*error));
    // Everything that can fail is done; the cursor changes only now.
    Layout layout = selection_layout(*s, &*to_info);
    s->join = Join{std::move(*to_info), std::move(to_key), from->name, to->name};
    s->rows = std::get<std::vector<Entry>>(std::move(joined));
    s->layout = std::move(layout);
    s->position = 0;
    s->current.reset();

    Status st;
    st.valuesize = static_cast<std::int32_t>(s->rows.size());
    st.count = st.valuesize;
    st.bufflen = s->layout.length;
    ex.answer(st);
}

void handle_calc(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::string from_table = ex.in.string();
    const std::string from_column = ex.in.string();
    const std::string options = ex.in.string();
    const auto target = request_target(ex, id, true);
    if (!target) return;
    auto [c, inst, s] = *target;
    Database& db = *inst->db;

    // The column is the selection's own, or of the table joined to it
    // (then the joined rows are the ones counted).
    const TableInfo* table = &s->table;
    bool joined = false;
    if (s->join && !from_table.empty() && !equal_ignoring_case(from_table, s->table.name) &&
        equal_ignoring_case(from_table, s->join->table.name)) {
        table = &s->join->table;
        joined = true;
    } else if (!from_table.empty() && !equal_ignoring_case(from_table, s->table.name)) {
        return void(ex.answer(error_status(err_no_table, from_table)));
    }
    const ColumnInfo* column = table->find(from_column);
    if (column == nullptr) return void(ex.answer(error_status(err_no_column, from_column)));
    const std::optional<Function> function = calc_function(options);
    if (!function)
        return void(
            ex.answer(error_status(err_bad_option, options.empty() ? "function" : options)));
    const bool number = column->type_code == type_integer || column->type_code == type_float;
    if (!number && (*function == Function::sum || *function == Function::avg))
        return void(ex.answer(error_status(err_conversion, "not a number: " + column->name)));

    const std::unique_ptr<Query> value = db.prepare(
        "SELECT " + quote_identifier(column->name) + " FROM " + quote_identifier(table->name) +
        " WHERE " + (joined ? s->join->key : s->key) + " = ?");
    if (!value) return void(ex.answer(storage_error(db)));
    Figures figures(*column, *function);
    for (const Entry& e : s->rows) {
        value->reset();
        value->bind_integer(1, joined ? e.joined : e.rowid);
        const Query::Step result = value->step();
        if (result == Query::Step::done) continue; // deleted since it was selected
        if (result != Query::Step::row) return void(ex.answer(storage_error(db)));
        if (!figures.add(*value))
            return void(ex.answer(error_status(err_conversion, "sum overflows")));
    }

    Status st;
    st.count = static_cast<std::int32_t>(
        std::min<std::int64_t>(figures.count(), std::numeric_limits<std::int32_t>::max()));
    st.bufflen = static_cast<std::int32_t>(calc_result_size);
    Writer w = ex.writer();
    w.status(st).text_field(figures.result(), calc_result_size, ' ');
    ex.send(w.data());
}

void handle_export(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::string options = ex.in.text_field(options_field);
    const std::string file = ex.in.string();
    const auto target = request_target(ex, id, true);
    if (!target) return;
    auto [c, inst, s] = *target;

    bool header = true;
    for (const OptionWord& w : split_options(options)) {
        if (w.name == "HEADER" && equal_ignoring_case(w.value, "NO"))
            header = false;
        else if (w.name == "HEADER" && equal_ignoring_case(w.value, "YES"))
            header = true;
        else
            return void(ex.answer(error_status(err_bad_option, w.name)));
    }
    if (!plain_file_name(file)) return void(ex.answer(error_status(err_export, file)));

    // The rows are read in character form whatever the cursor's form.
    Selection view;
    view.table = s->table;
    view.key = s->key;
    view.join = s->join;
    for (const Field& f : s->layout.fields)
        view.layout.add(f.column, true, f.source);
    RecordReader reader(*inst->db, view);

    ExportFile out;
    switch (out.open(ex.session.state().config.export_dir, file)) {
    case ExportFile::Opened::ok:
        break;
    case ExportFile::Opened::link:
        return void(ex.answer(error_status(err_export, "link: " + file)));
    case ExportFile::Opened::failed:
        return void(ex.answer(error_status(err_export, file)));
    }
    std::string line;
    if (header) {
        for (const Field& f : view.layout.fields) {
            if (!line.empty()) line += ',';
            put_csv_field(line, f.column.name);
        }
        line += '\n';
        out.write(line);
    }
    std::int64_t written = 0;
    Bytes record(static_cast<std::size_t>(view.layout.length));
    for (const Entry& e : s->rows) {
        if (!reader.read(e, ex.big_endian, record)) {
            if (reader.failed()) return void(ex.answer(storage_error(*inst->db)));
            continue; // deleted since
        }
        line.clear();
        for (std::size_t k = 0; k < view.layout.fields.size(); ++k) {
            const Field& f = view.layout.fields[k];
            if (k > 0) line += ',';
            put_csv_field(
                line, trimmed_field(std::span(record).subspan(static_cast<std::size_t>(f.offset),
                                                              static_cast<std::size_t>(f.length))));
        }
        line += '\n';
        if (!out.write(line)) break;
        ++written;
    }
    if (!out.commit()) return void(ex.answer(error_status(err_export, file)));
    Status st;
    st.count = static_cast<std::int32_t>(
        std::min<std::int64_t>(written, std::numeric_limits<std::int32_t>::max()));
    ex.answer(st);
}

} // namespace kls

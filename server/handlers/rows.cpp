// Insert, update and delete.
#include <algorithm>

#include "handlers.h"
#include "protocol.h"
#include "server_errors.h"
#include "transaction.h"

namespace kls {

namespace {

// The fixed area of insert and update requests holding table, columns and
// options, packed from its start.
constexpr std::size_t string_area = protocol::row_string_area_size;

struct AreaTexts {
    std::string table;
    std::string columns;
    std::string options;
};

// The three texts of the string area; nullopt when they run past it.
std::optional<AreaTexts> read_area(std::span<const std::uint8_t> area, bool big_endian) {
    Reader r(area, big_endian);
    AreaTexts t;
    t.table = r.string();
    t.columns = r.string();
    t.options = r.string();
    if (!r.ok()) return std::nullopt;
    return t;
}

// Reads the options of a write: CHAR (character form) where allowed, and
// SKIPIA, NOWAIT and HOOK, which are accepted and change nothing here.
// The first word not taken, or "" when all are.
std::string write_options(const std::string& text, bool allow_char, bool& character) {
    for (const OptionWord& w : split_options(text)) {
        const bool known =
            w.value.empty() && ((allow_char && w.name == "CHAR") || w.name == "SKIPIA" ||
                                w.name == "NOWAIT" || w.name == "HOOK");
        if (!known) return w.name;
        if (w.name == "CHAR") character = true;
    }
    return {};
}

// Whether the row leaves the field to the database: a blank integer
// primary key in character form.  It is left out of the insert, so the
// database makes the key (SQLite's rowid; on PostgreSQL the column's
// default, such as an identity) rather than being handed a NULL.
bool generated_key(const Field& f, std::span<const std::uint8_t> row) {
    return f.character && f.column.primary_key && f.column.type_code == type_integer &&
           trimmed_field(
               row.subspan(static_cast<std::size_t>(f.offset), static_cast<std::size_t>(f.length)))
                   .find_first_not_of(' ') == std::string::npos;
}

// Whether the column list (empty or "*": every column) names the column.
bool named(const std::vector<ColumnInfo>& list, const ColumnInfo& column) {
    for (const ColumnInfo& c : list)
        if (c.name == column.name) return true;
    return false;
}

// The cursor's selection when it has a current record it can change, else
// answers 20014 and gives nullptr.  The table named must be the
// selection's.
Selection* changeable_selection(Exchange& ex, Cursor& cursor, const std::string& table) {
    Selection* s = cursor.selection ? &*cursor.selection : nullptr;
    if (s != nullptr && !equal_ignoring_case(table, s->table.name)) {
        ex.answer(error_status(err_no_table, table));
        return nullptr;
    }
    if (s == nullptr || !s->current) {
        ex.answer(error_status(err_no_current, "fetch first"));
        return nullptr;
    }
    if (s->join) {
        ex.answer(error_status(err_no_current, "joined cursor"));
        return nullptr;
    }
    return s;
}

} // namespace

void handle_insert(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const auto area = ex.in.bytes(string_area);
    const auto row = ex.in.rest();
    Instance* inst = request_instance(ex, id);
    if (inst == nullptr) return;
    const std::optional<AreaTexts> texts = read_area(area, ex.big_endian);
    if (!texts) return void(ex.answer(error_status(err_malformed, "strings")));
    bool character = false;
    const std::string bad = write_options(texts->options, true, character);
    if (!bad.empty()) return void(ex.answer(error_status(err_bad_option, bad)));
    if (!begin_write(ex, *inst)) return;

    Database& db = *inst->db;
    const std::optional<TableInfo> table = db.table(texts->table);
    if (!table) return void(ex.answer(no_table(db, texts->table)));
    auto resolved = resolve_columns(*table, texts->columns);
    if (auto* unknown = std::get_if<UnknownColumn>(&resolved))
        return void(ex.answer(error_status(err_no_column, unknown->name)));
    const auto& columns = std::get<std::vector<ColumnInfo>>(resolved);

    // The row holds every column of the table; only the named ones are
    // written, so the others take NULL (or their default).
    const Layout layout = make_layout(table->columns, character);
    if (row.size() != static_cast<std::size_t>(layout.length))
        return void(ex.answer(error_status(err_data_length, "row length", layout.length)));
    std::string names;
    std::string places;
    std::vector<const Field*> written;
    for (const Field& f : layout.fields) {
        if (!named(columns, f.column) || generated_key(f, row)) continue;
        names += (written.empty() ? "" : ", ") + quote_identifier(f.column.name);
        places += written.empty() ? "?" : ", ?";
        written.push_back(&f);
    }
    // RETURNING gives the new row's key, which the answer carries (0 for
    // a table without one).
    const std::string key = db.row_key(*table);
    const std::string values =
        written.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + places + ")";
    const std::unique_ptr<Query> insert =
        db.prepare("INSERT INTO " + quote_identifier(table->name) + values +
                   (key.empty() ? "" : " RETURNING " + key));
    if (!insert) return void(ex.answer(storage_error(db)));
    std::string why;
    for (std::size_t k = 0; k < written.size(); ++k) {
        const Field& f = *written[k];
        const auto bytes =
            row.subspan(static_cast<std::size_t>(f.offset), static_cast<std::size_t>(f.length));
        if (!bind_value(f, bytes, ex.big_endian, *insert, static_cast<int>(k) + 1, why))
            return void(ex.answer(error_status(err_conversion, why)));
    }
    std::int64_t new_key = 0;
    Query::Step step = insert->step();
    if (step == Query::Step::row) {
        new_key = insert->integer(0);
        step = insert->step();
    }
    if (step != Query::Step::done) return void(ex.answer(storage_error(db)));
    Status st;
    st.count = 1;
    st.info = static_cast<std::int32_t>(static_cast<std::uint32_t>(new_key & 0xffffffff));
    ex.answer(st);
}

void handle_update(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const auto area = ex.in.bytes(string_area);
    const auto row = ex.in.rest();
    const auto target = request_target(ex, id, false);
    if (!target) return;
    Cursor* c = target->cursor;
    Instance* inst = target->instance;
    const std::optional<AreaTexts> texts = read_area(area, ex.big_endian);
    if (!texts) return void(ex.answer(error_status(err_malformed, "strings")));
    bool ignored = false;
    const std::string bad = write_options(texts->options, false, ignored);
    if (!bad.empty()) return void(ex.answer(error_status(err_bad_option, bad)));
    if (!begin_write(ex, *inst)) return;
    Selection* s = changeable_selection(ex, *c, texts->table);
    if (s == nullptr) return;

    // The row is a record of the cursor's layout, in the cursor's form.
    const Layout& layout = s->layout;
    if (row.size() != static_cast<std::size_t>(layout.length))
        return void(ex.answer(error_status(err_data_length, "row length", layout.length)));
    auto resolved = resolve_columns(s->table, texts->columns);
    if (auto* unknown = std::get_if<UnknownColumn>(&resolved))
        return void(ex.answer(error_status(err_no_column, unknown->name)));
    const auto& columns = std::get<std::vector<ColumnInfo>>(resolved);
    // Columns named must be fields of the record.
    if (!names_every_column(texts->columns)) {
        for (const ColumnInfo& col : columns) {
            const bool in_record =
                std::any_of(layout.fields.begin(), layout.fields.end(),
                            [&col](const Field& f) { return f.column.name == col.name; });
            if (!in_record) return void(ex.answer(error_status(err_no_column, col.name)));
        }
    }

    std::string sets;
    std::vector<const Field*> written;
    for (const Field& f : layout.fields) {
        if (!named(columns, f.column)) continue;
        sets += (written.empty() ? "" : ", ") + quote_identifier(f.column.name) + " = ?";
        written.push_back(&f);
    }
    Database& db = *inst->db;
    if (written.empty()) return void(ex.answer(Status{}));
    // RETURNING gives the row's key after the change, which moves when the
    // key column is written, and tells whether the row is there.
    const std::unique_ptr<Query> update =
        db.prepare("UPDATE " + quote_identifier(s->table.name) + " SET " + sets + " WHERE " +
                   s->key + " = ? RETURNING " + s->key);
    if (!update) return void(ex.answer(storage_error(db)));
    std::string why;
    for (std::size_t k = 0; k < written.size(); ++k) {
        const Field& f = *written[k];
        const auto bytes =
            row.subspan(static_cast<std::size_t>(f.offset), static_cast<std::size_t>(f.length));
        if (!bind_value(f, bytes, ex.big_endian, *update, static_cast<int>(k) + 1, why))
            return void(ex.answer(error_status(err_conversion, why)));
    }
    const std::int64_t old_key = s->current->rowid;
    update->bind_integer(static_cast<int>(written.size()) + 1, old_key);
    const Query::Step result = update->step();
    if (result == Query::Step::done)
        return void(ex.answer(error_status(err_no_current, "row gone")));
    if (result != Query::Step::row) return void(ex.answer(storage_error(db)));
    const std::int64_t new_key = update->integer(0);
    if (update->step() != Query::Step::done) return void(ex.answer(storage_error(db)));
    if (new_key != old_key) {
        s->current->rowid = new_key;
        for (Entry& e : s->rows)
            if (e.rowid == old_key) e.rowid = new_key;
    }
    Status st;
    st.count = 1;
    ex.answer(st);
}

void handle_delete(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::string table = ex.in.string();
    const std::string options = ex.in.string();
    const auto target = request_target(ex, id, false);
    if (!target) return;
    Cursor* c = target->cursor;
    Instance* inst = target->instance;
    bool ignored = false;
    const std::string bad = write_options(options, false, ignored);
    if (!bad.empty()) return void(ex.answer(error_status(err_bad_option, bad)));
    if (!begin_write(ex, *inst)) return;
    Selection* s = changeable_selection(ex, *c, table);
    if (s == nullptr) return;

    Database& db = *inst->db;
    const std::unique_ptr<Query> remove = db.prepare(
        "DELETE FROM " + quote_identifier(s->table.name) + " WHERE " + s->key + " = ? RETURNING 1");
    if (!remove) return void(ex.answer(storage_error(db)));
    remove->bind_integer(1, s->current->rowid);
    int changed = 0;
    Query::Step step;
    while ((step = remove->step()) == Query::Step::row)
        ++changed;
    if (step != Query::Step::done) return void(ex.answer(storage_error(db)));
    s->current.reset();
    if (changed == 0) return void(ex.answer(error_status(err_no_current, "row gone")));
    Status st;
    st.count = 1;
    ex.answer(st);
}

} // namespace kls

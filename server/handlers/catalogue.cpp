// Catalogue entries (tables or a table's columns) and index information.

#include <algorithm>
#include <charconv>
#include <limits>

#include "handlers.h"
#include "protocol.h"
#include "server_errors.h"

namespace kls {

namespace {

constexpr std::size_t qualifier_words = protocol::max_qualifier_items + 1; // then 0
constexpr std::size_t buffer_words = protocol::max_buffer_items + 1;       // then 0
constexpr std::size_t catalogue_options_field = protocol::catalogue_options_size;
constexpr std::size_t name_field = protocol::name_field_size;
constexpr std::size_t index_record = 104;
constexpr std::size_t index_columns_field = 64;
// The client reads one answer record of at most 1952 bytes, status
// included, for catalogue and index information.
constexpr std::size_t catalogue_data_room = protocol::short_answer_data_size;

bool known_buffer_item(std::int32_t code) {
    switch (code) {
    case KL_ITEM_TABLE:
    case KL_ITEM_TABLE_COLUMNS:
    case KL_ITEM_TABLE_ROWS:
    case KL_ITEM_COLUMN:
    case KL_ITEM_COLUMN_TYPE:
    case KL_ITEM_COLUMN_LENGTH:
    case KL_ITEM_COLUMN_NUMBER:
    case KL_ITEM_CHARACTER_LENGTH:
    case KL_ITEM_OCCURRENCES:
        return true;
    default:
        return false;
    }
}

// The item codes of a list ended by 0 (or by its last word).
std::vector<std::int32_t> read_items(Reader& in, std::size_t words) {
    std::vector<std::int32_t> items;
    bool ended = false;
    for (std::size_t k = 0; k < words; ++k) {
        const std::int32_t code = in.i32();
        if (code == 0) ended = true;
        if (!ended) items.push_back(code);
    }
    return items;
}

// What one entry describes: a table, or one of its columns (column
// number from 1; 0 for a table entry).
struct Described {
    const TableInfo* table = nullptr;
    const ColumnInfo* column = nullptr;
    int number = 0;
    std::int64_t rows = 0;
};

Bytes entry_bytes(const Described& d, const std::vector<std::int32_t>& items, bool big_endian) {
    Writer w(big_endian);
    for (const std::int32_t item : items) {
        const ColumnInfo* c = d.column;
        switch (item) {
        case KL_ITEM_TABLE:
            w.text_field(d.table->name, name_field, ' ');
            break;
        case KL_ITEM_COLUMN:
            w.text_field(c ? std::string_view(c->name) : std::string_view(), name_field, ' ');
            break;
        case KL_ITEM_COLUMN_TYPE:
            w.i32(c ? c->type_code : 0);
            break;
        case KL_ITEM_COLUMN_LENGTH:
            w.i32(c ? c->length : 0);
            break;
        case KL_ITEM_OCCURRENCES:
            w.i32(c ? 1 : 0);
            break;
        case KL_ITEM_COLUMN_NUMBER:
            w.i32(d.number);
            break;
        case KL_ITEM_CHARACTER_LENGTH:
            w.i32(c ? c->character_length : 0);
            break;
        case KL_ITEM_TABLE_COLUMNS:
            w.i32(static_cast<std::int32_t>(d.table->columns.size()));
            break;
        case KL_ITEM_TABLE_ROWS:
            w.i32(clamp_i32(d.rows));
            break;
        }
    }
    return std::move(w.data());
}

struct CatalogueOptions {
    bool next = false;
    std::size_t count = std::numeric_limits<std::size_t>::max();
    std::string bad;
};

// "N" first: go on after the previous request's entries; then option
// words, of which COUNT=n (n at least 1) is the only one.
CatalogueOptions catalogue_options(std::string_view text) {
    CatalogueOptions o;
    if (!text.empty() && (text[0] == 'N' || text[0] == 'n')) {
        o.next = true;
        text.remove_prefix(1);
    }
    for (const OptionWord& w : split_options(text)) {
        std::size_t n = 0;
        const char* end = w.value.data() + w.value.size();
        const auto [at, ec] = std::from_chars(w.value.data(), end, n);
        if (w.name == "COUNT" && ec == std::errc() && at == end && n > 0)
            o.count = n;
        else if (o.bad.empty())
            o.bad = w.name;
    }
    return o;
}

// Every entry a fresh catalogue request asks for, or the error status.
std::variant<std::vector<Bytes>, Status> catalogue_entries(Database& db, RequestMemory& memory,
                                                           const std::vector<std::int32_t>& items,
                                                           const std::optional<std::string>& table,
                                                           const std::string& column,
                                                           bool big_endian) {
    const bool want_rows = std::find(items.begin(), items.end(), KL_ITEM_TABLE_ROWS) != items.end();
    // No item takes more than a name field.
    const std::size_t entry_size = items.size() * name_field;
    std::vector<Bytes> entries;
    if (!table) {
        for (const std::string& name : db.table_names()) {
            const std::optional<TableInfo> info = db.table(name);
            if (!info) continue;
            if (!memory.room(entries, 1, entry_size)) return memory_error("catalogue entries");
            Described d{&*info, nullptr, 0, want_rows ? db.row_count(*info) : 0};
            entries.push_back(entry_bytes(d, items, big_endian));
        }
        // No table found because the database could not be asked.
        if (entries.empty() && db.last_fault() == StorageFault::connection)
            return storage_error(db);
        return entries;
    }
    const std::optional<TableInfo> info = db.table(*table);
    if (!info) return no_table(db, *table);
    const bool all = column.empty() || column == "*";
    const std::int64_t rows = want_rows ? db.row_count(*info) : 0;
    for (std::size_t k = 0; k < info->columns.size(); ++k) {
        const ColumnInfo& c = info->columns[k];
        if (!all && !equal_ignoring_case(c.name, column)) continue;
        Described d{&*info, &c, static_cast<int>(k + 1), rows};
        if (!memory.room(entries, 1, entry_size)) return memory_error("catalogue entries");
        entries.push_back(entry_bytes(d, items, big_endian));
    }
    if (entries.empty()) return error_status(err_no_column, column);
    return entries;
}

} // namespace

void handle_catalogue(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::vector<std::int32_t> qualifiers = read_items(ex.in, qualifier_words);
    const std::vector<std::int32_t> items = read_items(ex.in, buffer_words);
    const CatalogueOptions options = catalogue_options(ex.in.text_field(catalogue_options_field));
    std::optional<std::string> table;
    std::string column;
    for (const std::int32_t code : qualifiers) {
        const std::size_t size = protocol::qualifier_value_size(code);
        // A code of unknown size: the values after it cannot be told apart.
        if (size == 0) {
            if (!ex.in.ok()) break; // answered as too short below
            return void(ex.answer(
                error_status(err_malformed, "qualifier item " + std::to_string(code), code)));
        }
        const std::span<const std::uint8_t> value = ex.in.bytes(size);
        if (code == KL_ITEM_TABLE) table = trimmed_field(value);
        if (code == KL_ITEM_COLUMN) column = trimmed_field(value);
    }
    Instance* inst = request_instance(ex, id);
    if (inst == nullptr) return;
    if (!options.bad.empty()) return void(ex.answer(error_status(err_bad_option, options.bad)));
    if (items.empty()) return void(ex.answer(error_status(err_bad_option, "no buffer items")));
    for (const std::int32_t item : items)
        if (!known_buffer_item(item))
            return void(ex.answer(
                error_status(err_bad_option, "buffer item " + std::to_string(item), item)));

    if (!options.next) {
        inst->catalogue_entries.clear();
        inst->catalogue_sent = 0;
        auto found = catalogue_entries(*inst->db, ex.memory, items, table, column, ex.big_endian);
        if (auto* error = std::get_if<Status>(&found)) return void(ex.answer(*error));
        inst->catalogue_entries = std::get<std::vector<Bytes>>(std::move(found));
    }
    // A continuation goes on with the entries the previous request found,
    // as that request laid them out, so the pieces of one listing never
    // overlap or skip, whatever changes in between.
    const std::vector<Bytes>& entries = inst->catalogue_entries;
    Bytes data;
    std::size_t take = 0;
    for (std::size_t k = inst->catalogue_sent; k < entries.size() && take < options.count;
         ++k, ++take) {
        if (entries[k].size() > catalogue_data_room - data.size()) break;
        data.insert(data.end(), entries[k].begin(), entries[k].end());
    }
    if (take == 0) return void(ex.answer(error_status(err_no_more_entries, "catalogue")));
    inst->catalogue_sent += take;
    Status st;
    st.count = static_cast<std::int32_t>(take);
    st.bufflen = static_cast<std::int32_t>(data.size());
    ex.answer(st, data);
}

void handle_index_info(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    ex.in.string(); // options: none taken
    const std::string table = ex.in.string();
    Instance* inst = request_instance(ex, id);
    if (inst == nullptr) return;
    const std::optional<TableInfo> info = inst->db->table(table);
    if (!info) return void(ex.answer(no_table(*inst->db, table)));

    const std::optional<std::vector<IndexInfo>> indexes = inst->db->indexes(*info);
    if (!indexes) return void(ex.answer(storage_error(*inst->db)));
    Writer w = ex.writer();
    std::int32_t count = 0;
    const std::size_t room = catalogue_data_room / index_record;
    for (const IndexInfo& index : *indexes) {
        if (static_cast<std::size_t>(count) == room) break;
        std::string names;
        for (std::size_t k = 0; k < index.columns.size(); ++k)
            names += (k > 0 ? "," : "") + index.columns[k];
        w.text_field(index.name, name_field, ' ');
        w.i32(index.unique ? 1 : 0).i32(static_cast<std::int32_t>(index.columns.size()));
        w.text_field(names, index_columns_field, ' ');
        ++count;
    }
    Status st;
    st.count = count;
    st.bufflen = static_cast<std::int32_t>(w.data().size());
    ex.answer(st, w.data());
}

} // namespace kls

// Describe and bind: a cursor's record layout as column descriptions, out
// to the client and back in.
//
// A description is 220 bytes (klcolumn_description in klsrv32.h); they travel
// six to a record, behind a 92-byte header from the server and behind two
// zero bytes from the client.
#include <algorithm>

#include "handlers.h"
#include "protocol.h"
#include "server_errors.h"

namespace kls {

namespace {

using protocol::bind_chunk_lead;
using protocol::description_size;
using protocol::descriptions_per_record;
constexpr std::size_t chunk_size = protocol::description_chunk_size; // 1320
constexpr std::size_t name_field = protocol::name_field_size;
constexpr std::size_t declared_field = sizeof klcolumn_description::declared_type;
// More columns than any table holds; a bind naming more is refused rather
// than kept.
constexpr std::int64_t bind_column_limit = 2000;

// Offsets of the description's fields.
constexpr std::size_t at_name = offsetof(klcolumn_description, column);
constexpr std::size_t at_table = offsetof(klcolumn_description, table);
constexpr std::size_t at_form = offsetof(klcolumn_description, character);

void put_description(Writer& w, int number, const Field& f, const std::string& table) {
    w.i32(number);
    w.text_field(f.column.name, name_field, '\0');
    w.text_field(table, name_field, '\0');
    w.text_field(f.column.declared, declared_field, '\0');
    w.zeros(sizeof klcolumn_description::reserved84);
    w.i32(f.column.type_code).i32(f.length).i32(f.offset).i32(f.column.character_length);
    w.i32(1); // occurrences
    w.i32(f.character ? 1 : 0);
    w.i32(f.column.nullable ? 1 : 0);
    w.i32(f.column.primary_key ? 1 : 0);
    w.zeros(description_size - offsetof(klcolumn_description, reserved204));
}

// What one bound description asks for.
struct Bound {
    std::string column;
    std::string table;
    bool character = false;
};

// The column a bound description names: in the table its table field
// names, or (field empty) the selection's own table first, then the table
// joined to it.  Source 0 or 1 as in Field; nullptr when there is none.
const ColumnInfo* bound_column(const Selection& s, const Bound& b, int& source) {
    const bool own_table = b.table.empty() || equal_ignoring_case(b.table, s.table.name);
    if (own_table) {
        if (const ColumnInfo* c = s.table.find(b.column)) {
            source = 0;
            return c;
        }
    }
    if (s.join && (b.table.empty() || equal_ignoring_case(b.table, s.join->table.name))) {
        source = 1;
        return s.join->table.find(b.column);
    }
    return nullptr;
}

} // namespace

Layout selection_layout(const Selection& s, const TableInfo* joined) {
    Layout layout = make_layout(s.columns, s.character);
    if (joined == nullptr && s.join) joined = &s.join->table;
    if (joined != nullptr)
        for (const ColumnInfo& c : joined->columns)
            layout.add(c, s.character, 1);
    return layout;
}

void handle_describe(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t room = ex.in.i32();
    ex.in.bytes(options_field);
    Cursor* c = request_cursor(ex, id);
    if (c == nullptr) return;
    Selection* s = request_selection(ex, *c);
    if (s == nullptr) return;

    const std::vector<Field>& fields = s->layout.fields;
    const std::size_t count = std::min(fields.size(), static_cast<std::size_t>(std::max(room, 0)));
    Status st;
    st.count = static_cast<std::int32_t>(count);
    st.valuesize = static_cast<std::int32_t>(fields.size());
    st.bufflen = s->layout.length;
    if (!ex.answer(st)) return;

    for (std::size_t first = 0; first < count; first += descriptions_per_record) {
        const std::size_t last = std::min(count, first + descriptions_per_record);
        Status header;
        header.count = static_cast<std::int32_t>(last - first);
        header.bufflen = static_cast<std::int32_t>((last - first) * description_size);
        Writer w = ex.writer();
        w.status(header);
        for (std::size_t k = first; k < last; ++k) {
            const Field& f = fields[k];
            put_description(w, static_cast<int>(k + 1), f,
                            f.source == 1 && s->join ? s->join->table.name : s->table.name);
        }
        if (!ex.send(w.data())) return;
    }
}

void handle_bind(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t n = ex.in.i32();
    ex.in.bytes(options_field);
    if (!request_complete(ex)) return;

    // Every chunk the client sends is read before anything is answered, so
    // the stream stays in step whatever is wrong with the request.
    std::vector<Bound> bound;
    bool malformed = false;
    const std::int64_t total = std::int64_t{std::max(n, 0)} * std::int64_t{description_size};
    for (std::int64_t position = 0; position < total; position += std::int64_t{chunk_size}) {
        const std::optional<Bytes> record = ex.read_record();
        if (!record) return; // the connection is gone
        const auto share =
            static_cast<std::size_t>(std::min(total - position, std::int64_t{chunk_size}));
        if (record->size() != bind_chunk_lead + share) {
            malformed = true;
            continue;
        }
        if (n > bind_column_limit) continue;
        const std::span<const std::uint8_t> chunk = std::span(*record).subspan(bind_chunk_lead);
        for (std::size_t at = 0; at < share; at += description_size) {
            const auto d = chunk.subspan(at, description_size);
            Bound b;
            b.column = trimmed_field(d.subspan(at_name, name_field));
            b.table = trimmed_field(d.subspan(at_table, name_field));
            b.character = get_i32(d.data() + at_form, ex.big_endian) != 0;
            bound.push_back(std::move(b));
        }
    }
    if (malformed) return void(ex.answer(error_status(err_malformed, "description records")));
    if (n > bind_column_limit) return void(ex.answer(error_status(err_data_length, "columns", n)));

    Cursor* c = request_cursor(ex, id);
    if (c == nullptr) return;
    Selection* s = request_selection(ex, *c);
    if (s == nullptr) return;

    Layout layout;
    if (bound.empty()) {
        layout = selection_layout(*s);
    } else {
        for (const Bound& b : bound) {
            int source = 0;
            const ColumnInfo* column = bound_column(*s, b, source);
            if (column == nullptr) return void(ex.answer(error_status(err_no_column, b.column)));
            layout.add(*column, b.character, source);
        }
    }
    s->layout = std::move(layout);
    Status st;
    st.bufflen = s->layout.length;
    st.valuesize = static_cast<std::int32_t>(s->layout.fields.size());
    ex.answer(st);
}

} // namespace kls

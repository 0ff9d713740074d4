// Select, qualify, assign values, fetch and fetch keys.
#include <algorithm>
#include <set>

#include "handlers.h"
#include "protocol.h"
#include "server_errors.h"

namespace kls {

namespace {

constexpr std::size_t label_field = protocol::label_field_size;
constexpr std::size_t value_text_size = 32;
constexpr std::size_t key_size = 8;
// About what a node of a std::set of rowids takes from the heap.
constexpr std::size_t set_node_size = 48;

// The answer to a selection made or changed: its record length, rows and
// value-set size.
Status selection_status(const Selection& s) {
    Status st;
    st.count = static_cast<std::int32_t>(s.rows.size());
    st.bufflen = s.layout.length;
    st.valuesize = static_cast<std::int32_t>(value_text_size) * s.criteria.placeholders;
    return st;
}

// Rows of a fetch are read in batches of up to about this many bytes of
// records, and the answers of each batch go out with one write.  A
// cursor's first batch is of first_batch rows, and each batch after it
// twice the one before until that size is reached, so that a short fetch
// reads little more than it needs.
constexpr std::size_t batch_bytes = 64 * 1024;
constexpr std::size_t first_batch = 64;

} // namespace

void send_records(Exchange& ex, Database& db, Selection& s, std::int32_t count) {
    if (count <= 0) return; // the client reads nothing then
    const auto record_length = static_cast<std::size_t>(s.layout.length);
    if (record_length == 0 || record_length > answer_data_room) {
        ex.answer(error_status(err_data_length, "record length", s.layout.length));
        return;
    }
    const std::size_t per_answer = answer_data_room / record_length;
    const std::size_t batch_rows = std::max(per_answer, batch_bytes / record_length);
    if (s.batch_rows == 0) s.batch_rows = first_batch;
    s.batch_rows = std::min(s.batch_rows, batch_rows);
    RecordReader reader(db, s);
    Bytes records;
    std::vector<char> found;
    Bytes data;   // the records of the answer being filled
    Bytes framed; // answers not sent yet
    framed.reserve(batch_bytes + 2 * (status_size + answer_data_room + 8));
    Writer status(ex.big_endian);
    std::int32_t in_answer = 0;
    const auto add_answer = [&](const Status& st) {
        status.data().clear();
        status.status(st);
        append_record(framed, status.data(), data);
        data.clear();
        in_answer = 0;
    };
    const auto close_answer = [&]() {
        Status st;
        st.count = in_answer;
        st.bufflen = static_cast<std::int32_t>(data.size());
        add_answer(st);
    };
    std::int64_t sent = 0;
    const std::size_t total = s.rows.size();
    // The size of a batch of at most rows from the position, when sent
    // records have gone.
    const auto batch_size = [&](std::size_t from, std::int64_t records, std::size_t rows) {
        return from >= total || records >= count
                   ? std::size_t{0}
                   : std::min({rows, static_cast<std::size_t>(count - records), total - from});
    };
    std::size_t n = batch_size(s.position, 0, s.batch_rows);
    while (n > 0) {
        const std::span<const Entry> entries(s.rows.data() + s.position, n);
        // The batch after this one, should every row of this one be there.
        s.batch_rows = std::min(batch_rows, 2 * s.batch_rows);
        const std::size_t ahead =
            batch_size(s.position + n, sent + static_cast<std::int64_t>(n), s.batch_rows);
        records.resize(n * record_length);
        if (!reader.read(entries, ex.big_endian, records, found,
                         std::span<const Entry>(s.rows.data() + s.position + n, ahead))) {
            // The records read so far go out, then the failure; the
            // position stays at the first row of the batch.
            if (in_answer > 0) close_answer();
            add_answer(storage_error(db));
            ex.send_framed(framed);
            return;
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (!found[k]) continue; // deleted since
            const auto record = records.begin() + static_cast<std::ptrdiff_t>(k * record_length);
            data.insert(data.end(), record, record + static_cast<std::ptrdiff_t>(record_length));
            s.current = entries[k];
            ++sent;
            if (static_cast<std::size_t>(++in_answer) == per_answer) close_answer();
        }
        s.position += n;
        if (framed.size() >= batch_bytes) {
            if (!ex.send_framed(framed)) return;
            framed.clear();
        }
        // The batch sent ahead, else one for the records still wanted.
        n = ahead > 0 ? ahead : batch_size(s.position, sent, s.batch_rows);
    }
    if (in_answer > 0) close_answer();
    if (sent < count) add_answer(error_status(err_no_more_records, "end of selection"));
    if (!framed.empty()) ex.send_framed(framed);
}

void handle_select(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::string table = ex.in.string();
    const std::string columns = ex.in.string();
    const std::string criteria = ex.in.string();
    const std::string options = ex.in.string();
    const auto target = request_target(ex, id, false);
    if (!target) return;
    Cursor* c = target->cursor;
    Instance* inst = target->instance;

    auto made = make_selection(*inst->db, ex.memory, table, columns, criteria, options);
    if (auto* error = std::get_if<Status>(&made)) return void(ex.answer(*error));
    c->selection = std::get<Selection>(std::move(made));
    ex.answer(selection_status(*c->selection));
}

void handle_qualify(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::string owner = ex.in.string();
    const std::string table = ex.in.string();
    const std::string columns = ex.in.string();
    const std::string options = ex.in.string();
    const std::string criteria = ex.in.string();
    const auto target = request_target(ex, id, true);
    if (!target) return;
    auto [c, inst, s] = *target;
    if (!owner.empty() && !equal_ignoring_case(owner, "main"))
        return void(ex.answer(error_status(err_no_table, owner)));
    if (!table.empty() && !equal_ignoring_case(table, s->table.name))
        return void(ex.answer(error_status(err_no_table, table)));
    if (s->join) return void(ex.answer(error_status(err_no_current, "joined cursor")));

    // The qualification is a selection of its own over the same table;
    // the cursor keeps the rows that both select, in its own order.
    auto made = make_selection(*inst->db, ex.memory, s->table.name, columns, criteria, options);
    if (auto* error = std::get_if<Status>(&made)) return void(ex.answer(*error));
    Selection& q = std::get<Selection>(made);
    if (q.criteria.placeholders > 0)
        return void(ex.answer(error_status(err_criteria, "no ? in a qualification")));
    std::vector<std::int64_t> keep;
    if (!ex.memory.room(keep, q.rows.size()))
        return void(ex.answer(memory_error("qualification rows")));
    for (const Entry& e : q.rows)
        keep.push_back(e.rowid);
    std::sort(keep.begin(), keep.end());
    const bool new_columns = !names_every_column(columns);
    Layout layout = new_columns ? make_layout(q.columns, s->character) : Layout{};
    // Nothing fails from here on: the cursor changes whole or not at all.
    std::erase_if(s->rows, [&keep](const Entry& e) {
        return !std::binary_search(keep.begin(), keep.end(), e.rowid);
    });
    if (new_columns) {
        s->columns = std::move(q.columns);
        s->layout = std::move(layout);
    }
    s->position = 0;
    s->current.reset();
    Status st = selection_status(*s);
    st.valuesize = static_cast<std::int32_t>(s->rows.size());
    ex.answer(st);
}

void handle_assign_values(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t count = ex.in.i32();
    ex.in.bytes(options_field);
    ex.in.bytes(label_field);
    const std::span<const std::uint8_t> values = ex.in.rest();
    const auto target = request_target(ex, id, true);
    if (!target) return;
    auto [c, inst, s] = *target;

    const std::size_t set_size =
        value_text_size * static_cast<std::size_t>(s->criteria.placeholders);
    const std::int64_t expected = static_cast<std::int64_t>(set_size) * std::max(count, 0);
    if (count < 0 || static_cast<std::int64_t>(values.size()) != expected)
        return void(ex.answer(error_status(err_data_length, "values", count)));

    std::vector<Entry> rows;
    std::set<std::int64_t> seen;
    const std::int32_t sets = set_size == 0 ? std::min(count, 1) : count;
    for (std::int32_t k = 0; k < sets; ++k) {
        std::vector<std::string> texts;
        for (int p = 0; p < s->criteria.placeholders; ++p)
            texts.push_back(
                trimmed_field(values.subspan(static_cast<std::size_t>(k) * set_size +
                                                 static_cast<std::size_t>(p) * value_text_size,
                                             value_text_size)));
        auto found = find_rows(*inst->db, ex.memory, *s, &texts);
        if (auto* error = std::get_if<Status>(&found)) return void(ex.answer(*error));
        for (const Entry& e : std::get<std::vector<Entry>>(found)) {
            // Counted with a node of the set for each row kept.
            if (!ex.memory.room(rows, 1, set_node_size))
                return void(ex.answer(memory_error("selection rows")));
            if (seen.insert(e.rowid).second) rows.push_back(e);
        }
        ex.memory.release(std::get<std::vector<Entry>>(found));
    }
    s->rows = std::move(rows);
    s->position = 0;
    s->current.reset();
    ex.answer(selection_status(*s));
}

void handle_fetch(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t count = ex.in.i32();
    ex.in.bytes(options_field);
    // The client reads no answer for a count of 0 or less, so none is
    // sent, unless the request itself is malformed.
    if (ex.in.ok() && count <= 0) return;
    const auto target = request_target(ex, id, true);
    if (!target) return;
    send_records(ex, *target->instance->db, *target->selection, count);
}

void handle_fetch_keys(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t count = ex.in.i32();
    ex.in.bytes(options_field);
    Cursor* c = request_cursor(ex, id);
    if (c == nullptr) return;
    Selection* s = request_selection(ex, *c);
    if (s == nullptr) return;
    const std::size_t room = answer_data_room / key_size;
    const std::size_t left = s->rows.size() - s->position;
    const std::size_t n = std::min({static_cast<std::size_t>(std::max(count, 0)), room, left});
    Writer w = ex.writer();
    Status st;
    st.count = static_cast<std::int32_t>(n);
    st.bufflen = static_cast<std::int32_t>(n * key_size);
    w.status(st);
    for (std::size_t k = 0; k < n; ++k)
        w.i64(s->rows[s->position + k].rowid);
    ex.send(w.data());
}

} // namespace kls

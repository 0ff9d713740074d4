// List and form: a query apart from the cursor's selection, and one of its
// rows shown in character form as the record to update.
#include "handlers.h"
#include "server_errors.h"

namespace kls {

void handle_list(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t count = ex.in.i32();
    const std::string table = ex.in.string();
    const std::string columns = ex.in.string();
    const std::string criteria = ex.in.string();
    const std::string options = ex.in.string();
    // As with fetch, the client reads no answer for a count of 0 or less.
    if (ex.in.ok() && count <= 0) return;
    const auto target = request_target(ex, id, false);
    if (!target) return;
    Cursor* c = target->cursor;
    Instance* inst = target->instance;

    auto made = make_selection(*inst->db, ex.memory, table, columns, criteria, options);
    if (auto* error = std::get_if<Status>(&made)) return void(ex.answer(*error));
    Selection& list = std::get<Selection>(made);
    if (list.criteria.placeholders > 0)
        return void(ex.answer(error_status(err_criteria, "no ? in a list")));
    send_records(ex, *inst->db, list, count);
    // The list is the rows sent, entry 1 first.
    list.rows.resize(list.position);
    list.position = 0;
    list.current.reset();
    c->list = std::move(list);
}

void handle_form(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t entry = ex.in.i32();
    const std::string table = ex.in.string();
    const std::string columns = ex.in.string();
    const std::string options = ex.in.string();
    const auto target = request_target(ex, id, false);
    if (!target) return;
    Cursor* c = target->cursor;
    Instance* inst = target->instance;
    if (!c->list) return void(ex.answer(error_status(err_no_selection, "list first")));
    const Selection& list = *c->list;
    if (!table.empty() && !equal_ignoring_case(table, list.table.name))
        return void(ex.answer(error_status(err_no_table, table)));
    for (const OptionWord& w : split_options(options))
        if (w.name != "CHAR" || !w.value.empty())
            return void(ex.answer(error_status(err_bad_option, w.name)));
    if (entry < 1 || static_cast<std::size_t>(entry) > list.rows.size())
        return void(ex.answer(error_status(err_no_current, "list entry", entry)));

    // The form is a selection of its own: the list's rows in character
    // form, in the columns asked for (the list's when none are named),
    // positioned on the entry shown.
    if (!ex.memory.charge(list.rows.size() * sizeof(Entry)))
        return void(ex.answer(memory_error("list rows")));
    Selection form = list;
    if (!names_every_column(columns)) {
        auto resolved = resolve_columns(list.table, columns);
        if (auto* unknown = std::get_if<UnknownColumn>(&resolved))
            return void(ex.answer(error_status(err_no_column, unknown->name)));
        form.columns = std::get<std::vector<ColumnInfo>>(std::move(resolved));
    }
    form.character = true;
    form.layout = make_layout(form.columns, true);
    const auto length = static_cast<std::size_t>(form.layout.length);
    if (length > answer_data_room)
        return void(ex.answer(error_status(err_data_length, "record length", form.layout.length)));
    const Entry shown = form.rows[static_cast<std::size_t>(entry) - 1];
    Bytes record(length);
    {
        RecordReader reader(*inst->db, form);
        if (!reader.read(shown, ex.big_endian, record))
            return void(ex.answer(reader.failed()
                                      ? storage_error(*inst->db)
                                      : error_status(err_no_current, "row gone", entry)));
    }
    form.current = shown;
    form.position = static_cast<std::size_t>(entry);
    c->selection = std::move(form);
    Status st;
    st.count = 1;
    st.bufflen = static_cast<std::int32_t>(length);
    ex.answer(st, record);
}

} // namespace kls

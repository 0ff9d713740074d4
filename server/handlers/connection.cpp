// Connect and disconnect, cursors, version records, host version and the
// server's message texts.
#include <algorithm>
#include <cctype>

#include "handlers.h"
#include "protocol.h"
#include "server_errors.h"

namespace kls {

namespace {

struct HostOptions {
    bool read_only = false;
    bool exclusive = false;
    std::string bad;
};

// R, W and E; and DBDIRECT=value, which the library puts first when its
// environment file names one (and only then sends a password).  Its value
// means nothing to this server: the password is used whenever it is sent.
HostOptions host_options(const std::string& text) {
    HostOptions h;
    for (const OptionWord& w : split_options(text)) {
        if (w.name == "DBDIRECT") continue;
        if (w.name == "R" && w.value.empty())
            h.read_only = true;
        else if (w.name == "W" && w.value.empty())
            h.read_only = false;
        else if (w.name == "E" && w.value.empty())
            h.exclusive = true;
        else if (h.bad.empty())
            h.bad = w.name;
    }
    return h;
}

// One version record: name 8, description 60, version number, text 32.
// The texts are NUL-terminated within their fields, so a name has at most
// seven characters.
void version_record(Writer& w, std::string_view name, std::string_view description,
                    std::int32_t version, std::string_view text) {
    w.text_field(name, sizeof klversion_record::na_name, '\0');
    w.text_field(description, sizeof klversion_record::description, '\0').i32(version);
    w.text_field(text, sizeof klversion_record::version_text, '\0');
}

// A request refused because the session holds as many instances or
// cursors as it may; the text names the limit.
Status limit_status(std::string_view limit, int value) {
    return error_status(err_limit, std::string(limit) + " " + std::to_string(value));
}

} // namespace

void handle_connect(Exchange& ex) {
    const std::string file = ex.in.string();
    OpenRequest request;
    request.login.user = ex.in.string();
    request.login.password = ex.in.string();
    const std::string options = ex.in.string();
    if (!request_complete(ex)) return;

    if (!plain_file_name(file)) return void(ex.answer(error_status(err_bad_name, file)));
    const HostOptions h = host_options(options);
    if (!h.bad.empty()) return void(ex.answer(error_status(err_bad_option, h.bad)));
    const int max_instances = ex.session.state().config.max_instances;
    if (ex.session.instance_count() >= static_cast<std::size_t>(max_instances))
        return void(ex.answer(limit_status("max-instances", max_instances)));

    request.name = file;
    request.read_only = h.read_only;
    request.exclusive = h.exclusive;
    auto opened = ex.session.state().config.storage->open(request);
    if (auto* refused = std::get_if<Status>(&opened)) return void(ex.answer(*refused));
    std::unique_ptr<Database> db = std::get<std::unique_ptr<Database>>(std::move(opened));
    if (!ex.session.log_in()) return; // the server takes no more sessions
    Instance inst;
    inst.id = ex.session.new_id();
    inst.db = std::move(db);
    inst.read_only = h.read_only;
    const std::uint32_t id = inst.id;
    ex.session.add_instance(std::move(inst));

    Status st;
    st.instance = static_cast<std::int32_t>(id);
    Writer w = ex.writer();
    w.status(st).id(id);
    ex.send(w.data());
}

void handle_disconnect(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    ex.in.bytes(options_field);
    if (request_instance(ex, id) == nullptr) return;
    ex.session.remove_instance(id);
    ex.answer(Status{});
}

void handle_open_cursor(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    ex.in.bytes(options_field);
    if (request_instance(ex, id) == nullptr) return;
    const int max_cursors = ex.session.state().config.max_cursors;
    if (ex.session.cursor_count() >= static_cast<std::size_t>(max_cursors))
        return void(ex.answer(limit_status("max-cursors", max_cursors)));
    const Cursor& c = ex.session.add_cursor(id);
    Status st;
    st.instance = static_cast<std::int32_t>(id);
    st.cursor = static_cast<std::int32_t>(c.id);
    Writer w = ex.writer();
    w.status(st).id(c.id);
    ex.send(w.data());
}

void handle_close_cursor(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    ex.in.bytes(options_field);
    if (request_cursor(ex, id) == nullptr) return;
    ex.session.remove_cursor(id);
    ex.answer(Status{});
}

void handle_version(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    ex.in.i32(); // the caller's argument: not used
    ex.in.bytes(options_field);
    Instance* inst = request_instance(ex, id);
    if (inst == nullptr) return;
    Status st;
    st.count = 2;
    ex.answer(st);
    Writer w = ex.writer();
    w.status(Status{});
    version_record(w, "KLSERV", "Kelora reference server", 100, "1.0.0");
    const EngineVersion engine = inst->db->engine();
    version_record(w, engine.name, "Storage engine", engine.number, engine.text);
    ex.send(w.data());
}

void handle_host_version(Exchange& ex) {
    static constexpr std::uint8_t text[protocol::host_version_size] = {'K', 'L', 'S', ' ',
                                                                       '1', '.', '0', ' '};
    ex.send(Bytes(std::begin(text), std::end(text)));
}

void handle_message(Exchange& ex) {
    // The answer's status is the status asked about, so the client's
    // record keeps its error; the text follows it.
    std::int32_t words[14];
    for (std::int32_t& word : words)
        word = ex.in.i32();
    const std::string context = ex.in.text_field(protocol::status_text_size);
    if (!request_complete(ex)) return;
    Status st;
    st.error = words[0];
    st.warn = words[1];
    st.info = words[2];
    st.count = words[3];
    st.bufflen = words[4];
    st.instance = words[5];
    st.cursor = words[6];
    st.valuesize = words[12];
    st.text = context;
    Writer w = ex.writer();
    w.status(st).text(message_text(words[0])).zeros(1);
    ex.send(w.data());
}

} // namespace kls

// The table of function codes and the steps the handlers share.
#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "handlers.h"
#include "protocol.h"
#include "server_errors.h"

namespace kls {

Handler find_handler(std::uint16_t code) {
    static constexpr std::array<std::pair<std::uint16_t, Handler>, 27> handlers{{
        {protocol::code_host_version, handle_host_version},
        {protocol::code_connect, handle_connect},
        {protocol::code_disconnect, handle_disconnect},
        {protocol::code_open_cursor, handle_open_cursor},
        {protocol::code_close_cursor, handle_close_cursor},
        {protocol::code_qualify, handle_qualify},
        {protocol::code_fetch_keys, handle_fetch_keys},
        {protocol::code_select, handle_select},
        {protocol::code_fetch, handle_fetch},
        {protocol::code_join, handle_join},
        {protocol::code_describe, handle_describe},
        {protocol::code_bind, handle_bind},
        {protocol::code_assign_values, handle_assign_values},
        {protocol::code_insert, handle_insert},
        {protocol::code_update, handle_update},
        {protocol::code_delete, handle_delete},
        {protocol::code_message, handle_message},
        {protocol::code_list, handle_list},
        {protocol::code_form, handle_form},
        {protocol::code_get_info, handle_catalogue},
        {protocol::code_index_info, handle_index_info},
        {protocol::code_calc, handle_calc},
        {protocol::code_export, handle_export},
        {protocol::code_command, handle_command},
        {protocol::code_external, handle_external},
        {protocol::code_version, handle_version},
        {0, nullptr},
    }};
    for (const auto& [c, handler] : handlers)
        if (c == code && handler != nullptr) return handler;
    return nullptr;
}

namespace {

// inst, or nullptr after answering: 20003 when there is none, 20026 (once)
// when its transaction was rolled back for idling.
Instance* checked_instance(Exchange& ex, Instance* inst) {
    if (inst == nullptr) {
        ex.answer(error_status(err_unknown_instance, "instance"));
    } else if (inst->idle_rolled_back) {
        inst->idle_rolled_back = false;
        ex.answer(error_status(err_idle_rolled_back, "transaction rolled back"));
        return nullptr;
    }
    return inst;
}

} // namespace

bool request_complete(Exchange& ex) {
    if (ex.in.ok()) return true;
    ex.answer(error_status(err_malformed, "request too short"));
    return false;
}

Instance* request_instance(Exchange& ex, std::uint32_t id) {
    if (!request_complete(ex)) return nullptr;
    return checked_instance(ex, ex.session.instance(id));
}

Cursor* request_cursor(Exchange& ex, std::uint32_t id) {
    if (!request_complete(ex)) return nullptr;
    Cursor* c = ex.session.cursor(id);
    if (c == nullptr) ex.answer(error_status(err_unknown_cursor, "cursor"));
    return c;
}

Instance* cursor_instance(Exchange& ex, const Cursor& cursor) {
    return checked_instance(ex, ex.session.instance(cursor.instance));
}

Selection* request_selection(Exchange& ex, Cursor& cursor) {
    if (!cursor.selection) {
        ex.answer(error_status(err_no_selection, "select first"));
        return nullptr;
    }
    return &*cursor.selection;
}

bool plain_file_name(std::string_view name) {
    constexpr std::size_t name_limit = 64;
    if (name.empty() || name.size() > name_limit || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
                                  c == '-' || c == '.';
                       }) &&
           name.find("..") == std::string_view::npos;
}

std::optional<Target> request_target(Exchange& ex, std::uint32_t id, bool with_selection) {
    Cursor* c = request_cursor(ex, id);
    if (c == nullptr) return std::nullopt;
    Selection* s = nullptr;
    if (with_selection && (s = request_selection(ex, *c)) == nullptr) return std::nullopt;
    Instance* inst = cursor_instance(ex, *c);
    if (inst == nullptr) return std::nullopt;
    return Target{c, inst, s};
}

} // namespace kls

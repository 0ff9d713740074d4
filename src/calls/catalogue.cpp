// Catalogue and index information of a client instance.
//
// klgetinfo names what it asks about with qualifier items (codes whose
// values have a size fixed by the code, packed back to back in one buffer)
// and what it wants back with buffer items (codes only).  A few questions
// the library answers itself, without a request: the server's identifier
// of a client instance or cursor, the node name, and whether integers are
// byte-swapped.  Everything else goes to the server in a zero-filled
// 974-byte request block:
//
//   offset  size  field
//   0       2     function code 320
//   2       4     server instance identifier, as stored
//   6       68    qualifier item codes, at most 16, then 0 (32-bit each)
//   74      132   buffer item codes, at most 32, then 0 (32-bit each)
//   206     256   options text with its NUL, whole (semicolons kept)
//   462     512   qualifier values, in item order; 4-byte ones are numbers
//
// of which 462 bytes plus the values are sent.  klgetindexinfo sends a
// packed-string request, options before table.  Each call reads one answer
// record of at most 1952 bytes and hands the data behind its status, as it
// arrived, to the caller's buffer.

#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "calls/call_support.h"
#include "calls/catalogue.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/format.h"
#include "frame/trace.h"
#include "platform/platform.h"
#include "protocol.h"
#include "transport/exchange.h"

namespace {

using namespace kl;

constexpr std::size_t qualifier_items_at = 6;
constexpr std::size_t buffer_items_at =
    qualifier_items_at + 4 * (protocol::max_qualifier_items + 1);
constexpr std::size_t options_at = buffer_items_at + 4 * (protocol::max_buffer_items + 1);
constexpr std::size_t values_at = options_at + protocol::catalogue_options_size;
constexpr std::size_t info_request_size = values_at + protocol::catalogue_values_size;
static_assert(buffer_items_at == 74 && options_at == 206 && values_at == 462 &&
              info_request_size == 974);
using protocol::max_buffer_items;
using protocol::max_qualifier_items;
constexpr std::size_t options_room = protocol::catalogue_options_size;
constexpr std::size_t values_room = protocol::catalogue_values_size;
constexpr std::size_t node_field_size = protocol::name_field_size;

struct InfoRequest {
    std::uint8_t bytes[info_request_size];
};

// True when text begins with the node name followed by a blank.  The
// caller's characters are upper-cased one by one; the stored node is upper
// case already.  The text is read no further than the node name and one
// character more, and a shorter text ends at its own NUL.
bool names_node(const char* text, const char* node) {
    std::size_t i = 0;
    for (; i < node_field_size && node[i] != '\0'; ++i) {
        if (upper_char(text[i]) != node[i]) return false;
    }
    return text[i] == ' ';
}

bool refuse_missing_qualifiers(const char* qualifiers, klstatus& st) {
    if (qualifiers != nullptr) return false;
    set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "qualifiers");
    return true;
}

// Items 1 and 801: the qualifiers begin with a client instance or cursor
// number and go on with a text that must name this instance's node; the
// answer is that block's server identifier.  Failures report the
// instance argument as their detail.
void answer_identifier(const ClientInstance& inst, kl_long instance, const kl_long* items,
                       const char* qualifiers, char* buffer, klstatus& st) {
    if (refuse_missing_qualifiers(qualifiers, st)) return;
    std::int32_t number = 0;
    std::memcpy(&number, qualifiers, sizeof number);
    const ServerId* id = nullptr;
    if (items[0] == KL_ITEM_CLIENT_INSTANCE) {
        const ClientInstance* named = client_tables.instances.find(number);
        if (named == nullptr) return set_local_status(st, KL_ERR_BAD_INSTANCE, instance);
        id = &named->server_instance;
    } else {
        const kl_cursor_t* named = client_tables.cursors.find(number);
        if (named == nullptr) return set_local_status(st, KL_ERR_BAD_CURSOR, instance);
        id = &named->server_cursor;
    }
    if (items[1] != KL_ITEM_NODE) return set_local_status(st, KL_ERR_NO_ITEM_1102);
    const char* text = qualifiers + sizeof number;
    if (!names_node(text, inst.node)) return set_local_status(st, KL_ERR_NODE_MISMATCH, 0, text);
    std::memcpy(buffer, id->bytes, sizeof id->bytes);
    clear_status(st);
}

// Item 1102: the node name blank-padded to 32 bytes (buffer item 1102), or
// whether integers are swapped on this connection (buffer item 1099, after
// the qualifier text passed the node check).
void answer_node(const ClientInstance& inst, const kl_long* buffer_items, const char* qualifiers,
                 char* buffer, klstatus& st) {
    const kl_long wanted = buffer_items != nullptr ? buffer_items[0] : 0;
    if (wanted == KL_ITEM_NODE) {
        std::memset(buffer, ' ', node_field_size);
        std::memcpy(buffer, inst.node, bounded_length(inst.node, node_field_size));
    } else if (wanted == KL_ITEM_BYTE_ORDER) {
        if (refuse_missing_qualifiers(qualifiers, st)) return;
        if (!names_node(qualifiers, inst.node))
            return set_local_status(st, KL_ERR_NODE_MISMATCH, 0, qualifiers);
        const std::int32_t swapped = server_big_endian() ? 1 : 0;
        std::memcpy(buffer, &swapped, sizeof swapped);
    } else {
        return set_local_status(st, KL_ERR_UNKNOWN_ITEM);
    }
    clear_status(st);
}

// Lays out the item lists and the qualifier values of a server request.
// Returns the size of the values, or nothing after filling the status.
// The values share a 512-byte area; values that would pass its end are
// refused with 18021, like every other request too long for its room,
// before anything is sent.
std::optional<std::size_t> lay_out_items(std::uint8_t* block, const kl_long* qualifier_items,
                                         const char* qualifiers, const kl_long* buffer_items,
                                         klstatus& st) {
    std::size_t used = 0;
    for (std::size_t n = 0; qualifier_items != nullptr && qualifier_items[n] != 0; ++n) {
        if (n == max_qualifier_items) {
            set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
            return std::nullopt;
        }
        const kl_long code = qualifier_items[n];
        store_i32(block + qualifier_items_at + 4 * n, code);
        const std::size_t size = protocol::qualifier_value_size(code);
        if (size == 0) {
            set_local_status(st, KL_ERR_UNKNOWN_ITEM);
            return std::nullopt;
        }
        if (size > values_room - used) {
            set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
            return std::nullopt;
        }
        if (refuse_missing_qualifiers(qualifiers, st)) return std::nullopt;
        std::uint8_t* at = block + values_at + used;
        if (size == 4) {
            std::int32_t value = 0;
            std::memcpy(&value, qualifiers + used, sizeof value);
            store_i32(at, value);
        } else {
            std::memcpy(at, qualifiers + used, size);
        }
        used += size;
    }
    for (std::size_t n = 0; buffer_items != nullptr && buffer_items[n] != 0; ++n) {
        if (n == max_buffer_items) {
            set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
            return std::nullopt;
        }
        store_i32(block + buffer_items_at + 4 * n, buffer_items[n]);
    }
    // The 0 entries that end both lists are already there: the block
    // starts zero-filled.
    return used;
}

} // namespace

namespace kl {

// A null buffer is refused (10036) before anything is answered or sent:
// every answer is written there.
void get_info(kl_long instance, const char* options, const kl_long* qualifier_items,
              const char* qualifiers, const kl_long* buffer_items, char* buffer, klstatus& st) {
    if (!require_connection(st)) return;
    const std::unique_ptr<InfoRequest> block = new_block<InfoRequest>();
    if (!block)
        return set_local_status(st, KL_ERR_NO_MEMORY, platform::system_error(), "GptInstanceNew");
    const ClientInstance* inst = find_instance(instance, st);
    if (inst == nullptr) return;
    if (buffer == nullptr) return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "buffer");

    const kl_long first = qualifier_items != nullptr ? qualifier_items[0] : 0;
    if (first == KL_ITEM_CLIENT_INSTANCE || first == KL_ITEM_CLIENT_CURSOR)
        return answer_identifier(*inst, instance, qualifier_items, qualifiers, buffer, st);
    if (first == KL_ITEM_NODE) return answer_node(*inst, buffer_items, qualifiers, buffer, st);

    std::uint8_t* request = block->bytes;
    const std::optional<std::size_t> values =
        lay_out_items(request, qualifier_items, qualifiers, buffer_items, st);
    if (!values) return;
    trace_call("\nFunction: klgetinfo\n  instance=%ld\n  options=%.80s\n  "
               "qualifier_items[0]=%ld\n  qualifiers=%.80s\n  buffer_items[0]=%ld\n",
               instance, options, first,
               traced_bytes(qualifiers, static_cast<std::int64_t>(*values)).text,
               buffer_items != nullptr ? buffer_items[0] : 0);
    store_u16(request, protocol::code_get_info);
    if (bounded_length(options, options_room) >= options_room)
        return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
    copy_text(std::span(reinterpret_cast<char*>(request + options_at), options_room), options);
    std::memcpy(request + 2, inst->server_instance.bytes, sizeof inst->server_instance.bytes);

    std::array<std::uint8_t, protocol::short_answer_size> answer{};
    const std::optional<Received> received =
        exchange_request(std::span(request, values_at + *values), answer, st);
    if (received) copy_answer_data(answer, *received, buffer);
}

} // namespace kl

KL_EXPORT uint32_t KLAPI klgetinfo(kl_long instance, const char* options, klstatus* status,
                                   const kl_long* qualifier_items, const char* qualifiers,
                                   const kl_long* buffer_items, char* buffer) {
    return run_call(status, [&](klstatus& st) {
        get_info(instance, options, qualifier_items, qualifiers, buffer_items, buffer, st);
    });
}

// A null buffer is refused (10036) before anything is sent: the answer's
// data would have nowhere to go.
KL_EXPORT uint32_t KLAPI klgetindexinfo(kl_long instance, const char* options, klstatus* status,
                                        const char* table, char* buffer) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klgetindexinfo\n  instance=%ld\n  options=%.80s\n  table=%.80s\n",
                   instance, options, table);
        const ClientInstance* inst = find_instance(instance, st);
        if (inst == nullptr) return;
        if (!packed_fits({options, table})) return set_local_status(st, KL_ERR_STRINGS_TOO_LONG);
        if (buffer == nullptr) return set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, "buffer");

        // Options before the table, unlike the other packed requests: the
        // server reads this request's texts in that order.
        if (send_packed_request(protocol::code_index_info, inst->server_instance, std::nullopt,
                                {options, table}, st) != 0)
            return;
        std::array<std::uint8_t, protocol::short_answer_size> answer{};
        const std::optional<Received> received = receive_answer(answer, st);
        if (!received) return;
        const std::size_t length = copy_answer_data(answer, *received, buffer);
        trace_call(
            "  buffer(returned)=%.80s\n",
            traced_bytes(answer.data() + status_size, static_cast<std::int64_t>(length)).text);
    });
}

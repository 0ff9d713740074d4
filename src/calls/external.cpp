// Pass-through calls of a client instance: run a routine of a server-side
// library (klexternal) and send a command to the server (klcommand).
//
// External header (code 326): code, server instance, in_length and
// out_length (32-bit each), an 80-byte options field, a 255-byte library
// field, then the routine name with its NUL; the record ends there.
// Command header (code 325): code, server instance, input_length, then
// the options with their NUL.  Texts are copied whole (a semicolon does
// not end them) after their length checks; field bytes behind a NUL are
// zero.
//
// The caller's input follows the header in input records: a 16-bit zero
// word and up to 2046 input bytes each.  One answer record carries the
// status.  External output then arrives in output records: 92 leading
// bytes the library does not read, then up to 1955 output bytes each.
//
// The positions in the caller's input and output are 64-bit counts, so
// input and output of any length the 32-bit arguments allow (beyond
// 65535 bytes too) arrive whole and in place; the records on the wire
// are the same whatever the length.

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>

#include "calls/call_support.h"
#include "calls/export.h"
#include "calls/requests.h"
#include "frame/call.h"
#include "frame/format.h"
#include "frame/trace.h"
#include "protocol.h"
#include "transport/exchange.h"

namespace {

using namespace kl;

using protocol::code_command;
using protocol::code_external;

constexpr std::size_t input_piece = protocol::input_piece_size;
constexpr std::size_t output_piece = protocol::output_piece_size;
constexpr std::size_t output_lead = status_size; // 92 bytes before each piece

// Texts that reach these many characters are refused.
constexpr std::size_t options_limit = 79;
constexpr std::size_t name_limit = protocol::external_name_size;

// Offsets of the external header's fixed fields.
constexpr std::size_t external_library_offset = 14 + options_field_size;              // 94
constexpr std::size_t external_routine_offset = external_library_offset + name_limit; // 349

struct Required {
    const void* pointer;
    const char* name;
};

// 10036 when any of the pointers is null, naming the last null one.
bool arguments_present(std::initializer_list<Required> required, klstatus& st) {
    const char* missing = nullptr;
    for (const Required& r : required)
        if (r.pointer == nullptr) missing = r.name;
    if (missing == nullptr) return true;
    set_local_status(st, KL_ERR_NULL_ARGUMENT, 0, missing);
    return false;
}

struct Limited {
    const char* text;
    std::size_t limit;
    const char* name;
};

// 18021 naming the first text of limit characters or more.
bool texts_fit(std::initializer_list<Limited> texts, klstatus& st) {
    for (const Limited& t : texts) {
        if (bounded_length(t.text, t.limit) >= t.limit) {
            set_local_status(st, KL_ERR_STRINGS_TOO_LONG, 0, t.name);
            return false;
        }
    }
    return true;
}

// 5541 (info = the length) for a negative length.
bool length_valid(std::int32_t length, const char* name, klstatus& st) {
    if (length >= 0) return true;
    set_local_status(st, KL_ERR_NEGATIVE_LENGTH, length, name);
    return false;
}

// Sends the header, then the input in input records.  The first failed
// send ends it (18065 in the status); the server then holds part of the
// input and the connection is not resynchronised.
bool send_header_and_input(const RequestBuilder& header, const char* input, std::int32_t length,
                           klstatus& st) {
    if (send_request(header.request(), st) != 0) return false;
    std::array<std::uint8_t, 2 + input_piece> record;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(input);
    for (std::int64_t offset = 0; offset < length; offset += input_piece) {
        const auto piece = static_cast<std::size_t>(
            std::min<std::int64_t>(length - offset, std::int64_t{input_piece}));
        RequestBuilder builder(record);
        builder.u16(0).bytes({bytes + offset, piece});
        if (send_request(builder.request(), st) != 0) return false;
    }
    return true;
}

// Reads length output bytes, one piece of up to 1955 from each output
// record.  Each piece has its fixed place in output, and only bytes that
// arrived are copied: a short record leaves the rest of its piece as the
// caller had it.  Output records do not touch the status; a failed read
// ends the reading with 18065.
void collect_output(char* output, std::int32_t length, klstatus& st) {
    std::array<std::uint8_t, answer_area_size> record;
    for (std::int64_t offset = 0; offset < length; offset += output_piece) {
        const std::optional<Received> received = receive_response(record, st);
        if (!received) return;
        const std::int64_t piece = std::min<std::int64_t>(length - offset, output_piece);
        const std::int64_t arrived =
            static_cast<std::int64_t>(received->kept) - std::int64_t{output_lead};
        const std::int64_t copied = std::clamp<std::int64_t>(arrived, 0, piece);
        std::memcpy(output + offset, record.data() + output_lead, static_cast<std::size_t>(copied));
    }
}

} // namespace

// The fourth argument is not used.
KL_EXPORT uint32_t KLAPI klexternal(kl_long instance, const char* options, klstatus* status,
                                    kl_long /*reserved*/, const char* library, const char* routine,
                                    const char* input, kl_long in_length, char* output,
                                    kl_long out_length) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klexternal\n  instance=%ld\n  options=%.80s\n  library=%.80s\n  "
                   "routine=%.80s\n  input=%.80s\n",
                   instance, options, library, routine, traced_bytes(input, in_length).text);
        ClientInstance* inst = find_instance(instance, st);
        if (inst == nullptr) return;
        if (!arguments_present({{input, "in"},
                                {output, "out"},
                                {options, "options"},
                                {library, "library"},
                                {routine, "routine"}},
                               st))
            return;
        if (!texts_fit({{options, options_limit, "options"},
                        {library, name_limit, "library"},
                        {routine, name_limit, "routine"}},
                       st))
            return;
        if (!length_valid(in_length, "in_length", st) ||
            !length_valid(out_length, "out_length", st))
            return;

        std::array<std::uint8_t, request_area_size> request;
        RequestBuilder header(request);
        header.code(code_external)
            .id(inst->server_instance)
            .i32(in_length)
            .i32(out_length)
            .string(options)
            .pad_to(external_library_offset)
            .string(library)
            .pad_to(external_routine_offset)
            .string(routine);
        if (!send_header_and_input(header, input, in_length, st)) return;
        std::array<std::uint8_t, answer_area_size> answer;
        if (!receive_answer(answer, st) || st.error != 0) return;
        collect_output(output, out_length, st);
    });
}

// The output area and its length are checked like klexternal's, but a
// command's answer is its status alone: the request carries no output
// length, so no output records follow and output is left as it was.
KL_EXPORT uint32_t KLAPI klcommand(kl_long instance, const char* options, klstatus* status,
                                   kl_long /*reserved*/, const char* input, kl_long input_length,
                                   char* output, kl_long output_length) {
    return run_call(status, [&](klstatus& st) {
        if (!require_connection(st)) return;
        trace_call("\nFunction: klcommand\n  instance=%ld\n  options=%.80s\n  input=%.80s\n",
                   instance, options, traced_bytes(input, input_length).text);
        ClientInstance* inst = find_instance(instance, st);
        if (inst == nullptr) return;
        if (!arguments_present({{input, "input"}, {output, "output"}, {options, "options"}}, st))
            return;
        if (!texts_fit({{options, options_limit, "options"}}, st)) return;
        if (!length_valid(input_length, "input_length", st) ||
            !length_valid(output_length, "output_length", st))
            return;

        std::array<std::uint8_t, 2 + 4 + 4 + options_limit> request;
        RequestBuilder header(request);
        header.code(code_command).id(inst->server_instance).i32(input_length).string(options);
        if (!send_header_and_input(header, input, input_length, st)) return;
        std::array<std::uint8_t, answer_area_size> answer;
        receive_answer(answer, st);
    });
}

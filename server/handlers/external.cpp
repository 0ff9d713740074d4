// Commands (transactions and a ping) and the built-in external routines.
// Both requests are followed by the caller's input in input records, which
// are always read to the last, even for a request that is refused, so the
// next request starts where the client thinks it does.

#include <algorithm>
#include <cctype>
#include <optional>

#include "handlers.h"
#include "protocol.h"
#include "server_errors.h"
#include "transaction.h"

namespace kls {

namespace {

constexpr std::size_t input_piece = protocol::input_piece_size;
constexpr std::size_t output_piece = protocol::output_piece_size;
constexpr std::size_t library_field = protocol::external_name_size;
// Input and output larger than this are refused (the input is still
// read, and dropped).
constexpr std::int64_t length_limit = std::int64_t{16} << 20;

// The input of a request, or the status that refuses it.
struct Input {
    Bytes data;
    std::optional<Status> error;
};

// Reads the ceil(length / 2046) input records the client sends after the
// request: two zero bytes and a piece of the input each.  nullopt when the
// connection is gone, after which nothing can be answered.
std::optional<Input> read_input(Exchange& ex, std::int32_t length) {
    Input input;
    if (length < 0 || length > length_limit)
        input.error = error_status(err_malformed, "input length", length);
    else if (!ex.memory.room(input.data, static_cast<std::size_t>(length)))
        input.error = memory_error("input");
    std::int64_t offset = 0;
    for (; offset < length; offset += static_cast<std::int64_t>(input_piece)) {
        const std::optional<Bytes> record = ex.read_record();
        if (!record) return std::nullopt;
        if (input.error) continue;
        const auto piece = static_cast<std::size_t>(
            std::min<std::int64_t>(length - offset, static_cast<std::int64_t>(input_piece)));
        if (record->size() != 2 + piece || (*record)[0] != 0 || (*record)[1] != 0) {
            input.error = error_status(err_malformed, "input record",
                                       static_cast<std::int32_t>(record->size()));
            input.data.clear();
            continue;
        }
        input.data.insert(input.data.end(), record->begin() + 2, record->end());
    }
    return input;
}

// The command word: the input without surrounding blanks or trailing
// NULs, in upper case.
std::string command_word(const Bytes& input) {
    std::string text(input.begin(), input.end());
    while (!text.empty() &&
           (text.back() == '\0' || std::isspace(static_cast<unsigned char>(text.back())) != 0))
        text.pop_back();
    const auto start = text.find_first_not_of(" \t\r\n");
    return upper_text(start == std::string::npos ? std::string() : text.substr(start));
}

// The result of a built-in routine, or nullopt for an unknown one.
std::optional<Bytes> run_builtin(const std::string& routine, const Bytes& input) {
    const std::string name = upper_text(routine);
    if (name == "ECHO") return input;
    if (name == "UPPER") {
        Bytes out = input;
        for (std::uint8_t& c : out)
            c = static_cast<std::uint8_t>(std::toupper(c));
        return out;
    }
    if (name == "REVERSE") return Bytes(input.rbegin(), input.rend());
    if (name == "LENGTH") {
        const std::string text = std::to_string(input.size());
        return Bytes(text.begin(), text.end());
    }
    return std::nullopt;
}

} // namespace

void handle_command(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t length = ex.in.i32();
    // Without a length nothing more can be read in step: the request alone
    // is answered.
    const bool length_read = ex.in.ok();
    ex.in.string(); // options: none taken
    const std::optional<Input> input = read_input(ex, length_read ? length : 0);
    if (!input) return;
    Instance* inst = request_instance(ex, id);
    if (inst == nullptr) return;
    if (input->error) return void(ex.answer(*input->error));

    if (!ex.memory.charge(input->data.size())) return void(ex.answer(memory_error("command")));
    const std::string command = command_word(input->data);
    if (command == "PING") return void(ex.answer(Status{}));
    if (command == "BEGIN" || command == "COMMIT" || command == "ROLLBACK")
        return void(ex.answer(transaction_command(*inst, command)));
    ex.answer(error_status(err_bad_option, command.empty() ? "no command" : command));
}

void handle_external(Exchange& ex) {
    const std::uint32_t id = ex.in.id();
    const std::int32_t in_length = ex.in.i32();
    const std::int32_t out_length = ex.in.i32();
    const bool lengths_read = ex.in.ok();
    ex.in.bytes(options_field); // options: none taken
    const std::string library = ex.in.text_field(library_field);
    const std::string routine = ex.in.string();
    const std::optional<Input> input = read_input(ex, lengths_read ? in_length : 0);
    if (!input) return;
    Instance* inst = request_instance(ex, id);
    if (inst == nullptr) return;
    if (input->error) return void(ex.answer(*input->error));
    if (out_length < 0 || out_length > length_limit)
        return void(ex.answer(error_status(err_malformed, "output length", out_length)));
    if (!equal_ignoring_case(library, "builtin"))
        return void(ex.answer(error_status(err_unknown_routine, library)));
    if (!ex.memory.charge(input->data.size()))
        return void(ex.answer(memory_error("routine output")));
    const std::optional<Bytes> result = run_builtin(routine, input->data);
    if (!result) return void(ex.answer(error_status(err_unknown_routine, routine)));

    Status st;
    st.bufflen = static_cast<std::int32_t>(result->size());
    if (!ex.answer(st)) return;
    // The output records fill the caller's out_length bytes: the result,
    // cut to fit, then zeros.
    for (std::size_t offset = 0; offset < static_cast<std::size_t>(out_length);
         offset += output_piece) {
        const std::size_t piece =
            std::min(static_cast<std::size_t>(out_length) - offset, output_piece);
        Status header;
        header.bufflen = static_cast<std::int32_t>(piece);
        Writer w = ex.writer();
        w.status(header);
        const std::size_t from_result =
            offset < result->size() ? std::min(piece, result->size() - offset) : 0;
        if (from_result > 0) w.bytes(std::span(*result).subspan(offset, from_result));
        w.zeros(piece - from_result);
        if (!ex.send(w.data())) return;
    }
}

} // namespace kls

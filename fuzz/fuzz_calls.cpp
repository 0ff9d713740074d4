// The calls that read a server's answers into areas whose size the
// caller's arguments fix, fed answers of any content in chunks of any size:
// no call writes past the caller's area or its own, every call ends, and
// with the trace on no trace line reads past what the caller handed over.
// The caller's areas are heap blocks of exactly their stated size, so the
// sanitizer sees one byte too many.
//
// Input: byte 0 picks the byte order and the trace switch, byte 1 the
// call, byte 2 a count or length for it; the rest arrives on the
// connection.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "calls/errors.h"
#include "frame/call.h"
#include "frame/tables.h"
#include "frame/trace.h"
#include "fuzz_connection.h"
#include "klsrv32.h"
#include "transport/exchange.h"
#include "transport/state.h"

namespace {

void forget_everything() {
    kl::transport_state = {};
    kl::client_tables.instances.reset();
    kl::client_tables.cursors.reset();
    kl::client_tables.ready = 0;
    kl::trace_state = {};
    kl::owner_word = 0;
}

// Client instance 1 and cursor 1 on it, both known to the server.
bool open_instance_and_cursor() {
    if (kl::create_client_tables() != 0) return false;
    auto instance = kl::new_block<kl::ClientInstance>();
    std::memcpy(instance->node, "PROD", 5);
    std::int32_t number = 0;
    if (kl::client_tables.instances.add(instance, number) != 0) return false;
    auto cursor = kl::new_block<kl::kl_cursor_t>();
    cursor->instance = number;
    return kl::client_tables.cursors.add(cursor, number) == 0;
}

// A caller's area of exactly size bytes (at least one, so that the
// pointer is never null).
std::vector<char> area(std::size_t size) {
    return std::vector<char>(std::max<std::size_t>(size, 1), 0);
}

void run_call(std::uint8_t which, std::uint8_t amount) {
    klstatus st{};
    switch (which % 10) {
    case 0: {
        const kl_long columns = amount % 16;
        std::vector<char> descriptions = area(static_cast<std::size_t>(columns) * 220);
        kldescribe(1, "", &st, columns, descriptions.data());
        break;
    }
    case 1: {
        std::vector<char> result = area(1860);
        klcalc(1, "", &st, "T", "SUM(C)", result.data());
        break;
    }
    case 2: {
        std::vector<char> buffer = area(1956);
        klform(1, "", &st, "T", "C", amount, buffer.data());
        break;
    }
    case 3: {
        std::vector<char> keys = area(1956);
        klfetchkeys(1, "", &st, amount, keys.data());
        break;
    }
    case 4: {
        std::vector<char> buffer = area(1860);
        const kl_long qualifier_items[] = {202, 0};
        const kl_long buffer_items[] = {305, 306, 310, 0};
        char qualifiers[32] = "T";
        klgetinfo(1, "", &st, qualifier_items, qualifiers, buffer_items, buffer.data());
        break;
    }
    case 5: {
        std::vector<char> buffer = area(1860);
        klgetindexinfo(1, "", &st, "T", buffer.data());
        break;
    }
    case 6: {
        const kl_long out_length = amount * 37;
        std::vector<char> input = area(amount * 23u);
        std::vector<char> output = area(static_cast<std::size_t>(out_length));
        klexternal(1, "", &st, 0, "LIB", "ECHO", input.data(), amount * 23, output.data(),
                   out_length);
        break;
    }
    case 7: {
        // Straight to the server's text: no local message file.
        kl::message_file_state.read = true;
        kl::message_file_state.known = false;
        std::vector<char> message = area(256);
        st.error = 11999;
        klerror(&st, "", message.data());
        break;
    }
    case 8: {
        std::vector<char> result = area(8);
        apihostversion(result.data());
        break;
    }
    default: {
        std::vector<char> row = area(64);
        kl::client_tables.instances.find(1)->binary_row_length = amount % 64;
        std::memcpy(kl::client_tables.instances.find(1)->insert_table, "T", 2);
        klinsert(1, "", &st, "T", "C", row.data());
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    forget_everything();
    kl::fuzz::Input input{data + 3, size - 3};
    kl::transport_state.byte_order_flag = data[0] & 1;
    auto block = kl::new_block<kl::NetworkAccessInstance>();
    if (kl::record_connection(block, kl::fuzz::input_io(input)) != 0) return 0;
    kl::transport_state.connected_flag = 1;
    if ((data[0] & 2) != 0) {
        kl::set_log_file("/dev/null");
        kl::trace_state.debug_flag = 1;
    }
    if (open_instance_and_cursor()) run_call(data[1], data[2]);
    forget_everything();
    return 0;
}

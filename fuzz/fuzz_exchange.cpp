// Bytes of any content arriving on the connection, in chunks of any size:
// the answers are read into buffers of the callers' sizes without writing
// past them, and the reading always ends.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "calls/call_support.h"
#include "fuzz_connection.h"
#include "transport/exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    kl::fuzz::Input input{data + 2, size - 2};
    if (!kl::fuzz::record_input_connection(input, data[0] & 1)) return 0;

    const std::size_t capacities[] = {92, 96, 352, 1952, 2048};
    const std::size_t capacity = capacities[data[1] % 5];
    std::vector<std::uint8_t> buffer(capacity);
    klstatus status{};
    for (int answers = 0; answers < 64; ++answers) {
        const std::optional<kl::Received> got = kl::receive_response(buffer, status);
        if (!got) break;
        if (got->kept > capacity || kl::data_length(*got) > capacity) std::abort();
        kl::copy_status(buffer, status);
    }
    kl::reset_process_state();
    return 0;
}

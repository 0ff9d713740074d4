#include "calls/requests.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "frame/format.h"
#include "frame/status.h"
#include "frame/trace.h"
#include "transport/exchange.h"

namespace kl {

std::size_t packed_length(TextList texts) {
    std::size_t total = 0;
    for (const char* text : texts)
        total += text_length(text) + 1;
    return total;
}

bool packed_fits(TextList texts, std::size_t room) {
    // Texts are counted one at a time so that a huge text cannot wrap the
    // sum back under the limit.
    std::size_t total = 0;
    for (const char* text : texts) {
        total += bounded_length(text, room + 1) + 1;
        if (total > room) return false;
    }
    return true;
}

int send_packed_request(std::uint16_t code, const ServerId& id, std::optional<std::int32_t> number,
                        TextList texts, klstatus& status) {
    std::array<std::uint8_t, request_area_size> request;
    RequestBuilder builder(request);
    builder.code(code).id(id);
    if (number) builder.i32(*number);
    for (const char* text : texts)
        builder.string(text);
    if (!builder.fits()) {
        set_local_status(status, KL_ERR_STRINGS_TOO_LONG);
        return KL_ERR_STRINGS_TOO_LONG;
    }
    return send_request(builder.request(), status);
}

std::optional<Received> exchange_packed_request(std::uint16_t code, const ServerId& id,
                                                TextList texts, std::span<std::uint8_t> answer,
                                                klstatus& status) {
    if (!packed_fits(texts)) {
        set_local_status(status, KL_ERR_STRINGS_TOO_LONG);
        return std::nullopt;
    }
    if (send_packed_request(code, id, std::nullopt, texts, status) != 0) return std::nullopt;
    return receive_answer(answer, status);
}

int send_fixed_header_request(std::uint16_t code, const ServerId& id, std::int32_t count,
                              const char* options, klstatus& status,
                              std::span<const std::uint8_t> tail) {
    std::array<std::uint8_t, request_area_size> request;
    RequestBuilder builder(request);
    builder.code(code).id(id).i32(count).options_field(options).bytes(tail);
    if (!builder.fits()) {
        set_local_status(status, KL_ERR_STRINGS_TOO_LONG);
        return KL_ERR_STRINGS_TOO_LONG;
    }
    return send_request(builder.request(), status);
}

std::size_t copy_answer_data(std::span<const std::uint8_t> answer, const Received& received,
                             char* destination) {
    const std::size_t length = data_length(received);
    if (length > 0) std::memcpy(destination, answer.data() + status_size, length);
    return length;
}

bool collect_records(std::int32_t count, char* records, klstatus& status) {
    std::array<std::uint8_t, answer_area_size> answer;
    std::int64_t received = 0;
    std::int64_t offset = 0;
    status.error = 0;
    status.count = 0;
    if (count > 0) {
        do {
            if (status.error != 0) break;
            const std::optional<Received> got = receive_answer(answer, status);
            if (!got) return false;
            if (status.count >= 1 && data_length(*got) > 0) {
                const auto carried =
                    static_cast<std::int64_t>(copy_answer_data(answer, *got, records + offset));
                received += status.count;
                offset += std::clamp<std::int64_t>(status.bufflen, 0, carried);
            }
            trace_call("  Records received=%ld\n", static_cast<long>(received));
        } while (received < count);
    }
    status.count = static_cast<std::int32_t>(received);
    status.bufflen = static_cast<std::int32_t>(offset);
    trace_call("  Total records received=%ld, buffer size=%ld.\n", static_cast<long>(received),
               static_cast<long>(offset));
    return true;
}

} // namespace kl

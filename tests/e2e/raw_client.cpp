#include "raw_client.h"

#include "test_backend.h"

#include <algorithm>
#include <cstring>

namespace kl::test {

RawStatus parse_status(const RawBytes& payload) {
    if (payload.size() < 92) return {-1};
    const char* text = reinterpret_cast<const char*>(payload.data() + 56);
    const auto le32 = [&](int at) {
        return static_cast<std::int32_t>(get_number(payload.data() + at, 4, false));
    };
    return {le32(0), le32(12), std::string(text, strnlen(text, 36)),
            RawBytes(payload.begin() + 92, payload.end())};
}

RawClient::RawClient(std::uint16_t dispatcher_port, std::uint32_t word) {
    os::start_sockets();
    socket_ = os::connect_loopback(dispatcher_port);
    RawBytes request, reply(dispatch_reply_size);
    put_number(request, word);
    if (connected() && os::transfer(socket_, true, request.data(), request.size(), -1) &&
        os::transfer(socket_, false, reply.data(), reply.size(), 5000))
        dispatch_status_ = get_number(reply.data());
    if (dispatch_status_ == dispatch_standalone) return;
    os::close(socket_);
    socket_ = dispatch_status_ == 0u
                  ? os::connect_loopback(static_cast<std::uint16_t>(get_number(&reply[50], 2)))
                  : os::bad_socket;
}

RawClient::~RawClient() {
    os::close(socket_);
}

bool RawClient::send_record(const RawBytes& payload) {
    RawBytes framed = frame_record(payload);
    return os::transfer(socket_, true, framed.data(), framed.size(), -1);
}

bool closed_by_server(os::sock_t s, std::chrono::steady_clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        os::PollItem item{s, true};
        if (os::poll(&item, 1, static_cast<int>(std::max<long long>(left.count(), 0))) != 1)
            return false;
        std::uint8_t data[256];
        if (os::recv(s, data, sizeof data) <= 0) return true;
    }
}

std::optional<RawBytes> RawClient::read_record(int timeout_ms) {
    const ReadFragments r = read_fragments(
        [&](std::uint8_t* to, std::size_t n) {
            return os::transfer(socket_, false, to, n, timeout_ms);
        },
        std::size_t{16} << 20);
    return r.complete ? body_payload(r.body) : std::nullopt;
}

std::optional<RawStatus> RawClient::exchange(const RawBytes& payload, int timeout_ms) {
    const auto answer = send_record(payload) ? read_record(timeout_ms) : std::nullopt;
    return answer ? std::optional(parse_status(*answer)) : std::nullopt;
}

RawBytes RawClient::connect_request(const std::string& file, const std::string& options) {
    return packed_request(301, {}, {file, test_user(), test_password(), options});
}

RawBytes RawClient::id_request(std::uint16_t code, const RawBytes& id) {
    RawBytes r = packed_request(code, id, {});
    r.resize(r.size() + 80, 0);
    return r;
}

RawBytes RawClient::packed_request(std::uint16_t code, const RawBytes& id,
                                   const std::vector<std::string>& texts) {
    RawBytes r;
    put_number(r, code, 2, false);
    r.insert(r.end(), id.begin(), id.end());
    for (const std::string& text : texts) {
        r.insert(r.end(), text.begin(), text.end());
        r.push_back(0);
    }
    return r;
}

RawBytes RawClient::fetch_request(const RawBytes& id, std::int32_t count) {
    RawBytes r = packed_request(308, id, {});
    put_number(r, static_cast<std::uint32_t>(count), 4, false);
    r.resize(r.size() + 80, 0);
    return r;
}

} // namespace kl::test

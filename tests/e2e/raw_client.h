// A client that speaks the wire protocol itself (little-endian numbers), for
// malformed requests and for several sessions at once; every read has a time
// limit, so a server that fails to answer fails the test instead of hanging.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peer/framing.h"
#include "peer/test_os.h"

namespace kl::test {

using RawBytes = std::vector<std::uint8_t>;

struct RawStatus {
    std::int32_t error = 0;
    std::int32_t count = 0;
    std::string text;
    RawBytes data; // what followed the status
};

class RawClient {
  public:
    // Asks the dispatcher for a server with connect word `word` and connects
    // to it (or keeps the dispatcher connection when the reply says
    // standalone).
    explicit RawClient(std::uint16_t dispatcher_port, std::uint32_t word = dispatch_connect_word);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return socket_ != os::bad_socket; }
    os::sock_t socket() const { return socket_; }
    // The status word of the dispatcher's reply (nullopt: none came).
    std::optional<std::uint32_t> dispatch_status() const { return dispatch_status_; }
    bool send_record(const RawBytes& payload);
    // The next answer record's payload; nullopt when the connection closed
    // or nothing came in time.
    std::optional<RawBytes> read_record(int timeout_ms = 5000);
    std::optional<RawStatus> exchange(const RawBytes& payload, int timeout_ms = 5000);

    // Requests built the way the library builds them.
    static RawBytes connect_request(const std::string& file, const std::string& options = "");
    static RawBytes id_request(std::uint16_t code, const RawBytes& id); // + 80-byte options
    static RawBytes packed_request(std::uint16_t code, const RawBytes& id,
                                   const std::vector<std::string>& texts);
    static RawBytes fetch_request(const RawBytes& id, std::int32_t count);

  private:
    os::sock_t socket_ = os::bad_socket;
    std::optional<std::uint32_t> dispatch_status_;
};

RawStatus parse_status(const RawBytes& payload);

// Reads and drops what the server sends on s until it closes s; false when
// s is still open at until.
bool closed_by_server(os::sock_t s, std::chrono::steady_clock::time_point until);

} // namespace kl::test

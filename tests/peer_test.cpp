// The test peer's answer framing checked with a plain socket and literal
// bytes, so that it does not lean on the library's record stream: a peer
// that ignored the fragments a test asks for would let the library's
// joining of pieces pass untested.  (The rest of the peer, the requests it
// records, its faults and its dispatcher, is what every call test relies
// on, and they fail when it breaks.)
#include "peer/test_peer.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "peer/test_os.h"

namespace kl::test {
namespace {

// A blocking client socket on 127.0.0.1 whose reads give up after a timeout.
class Client {
  public:
    explicit Client(std::uint16_t port) : fd_(os::connect_loopback(port)) {
        if (fd_ == os::bad_socket) throw std::runtime_error("cannot connect to the test peer");
    }
    ~Client() { os::close(fd_); }

    void send(const Bytes& bytes) {
        ASSERT_EQ(os::send(fd_, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    }

    // Reads up to n bytes; fewer when the peer closes or nothing comes in time.
    Bytes read(std::size_t n) {
        Bytes out(n);
        std::size_t got = 0;
        while (got < n) {
            os::PollItem p{.socket = fd_, .read = true};
            if (os::poll(&p, 1, 3000) <= 0) break;
            long r = os::recv(fd_, out.data() + got, n - got);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        out.resize(got);
        return out;
    }

  private:
    os::sock_t fd_;
};

const Bytes kSmallRequest = hex("00 00 80 08 00 00 00 02 01 30 00 00");

TEST(TestPeer, FramesAnswersAsScripted) {
    const Bytes payload = hex("AA BB CC");
    const struct {
        Answer answer;
        const char* wire;
    } cases[] = {
        {{payload}, "00 00 80 08 00 00 00 03 AA BB CC 00"},
        {{payload, {}, {3, 5}}, "00 00 00 03 00 00 00 00 00 80 05 03 AA BB CC 00"},
        {{payload, {}, {4}}, "00 00 00 04 00 00 00 03 00 00 80 04 AA BB CC 00"},
        {{payload, {}, {8, 0}}, "00 00 00 08 00 00 00 03 AA BB CC 00 00 00 80 00"},
        {{payload, 0x1005C}, "00 00 80 08 00 01 00 5C AA BB CC 00"},
        {status_answer(StatusRecord{}.error(18065), true),
         "00 00 80 60 00 00 00 5C 00 00 46 91"}, // and 88 more status bytes
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.wire);
        TestPeer peer;
        peer.script({{{tc.answer}}});
        Client c(peer.server_port());
        c.send(kSmallRequest);
        const Bytes expected = hex(tc.wire);
        EXPECT_EQ(to_hex(c.read(expected.size())), tc.wire);
        ASSERT_TRUE(peer.wait_for_requests(1));
        EXPECT_EQ(to_hex(peer.requests()[0].payload), "01 30");
    }
}

} // namespace
} // namespace kl::test

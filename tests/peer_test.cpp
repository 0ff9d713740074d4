// The test peer checked with plain sockets and literal bytes, so that its
// framing does not lean on the library's record stream.
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
    ~Client() { close(); }
    void close() {
        os::close(fd_);
        fd_ = os::bad_socket;
    }

    void send(const Bytes& bytes) {
        ASSERT_EQ(os::send(fd_, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    }

    // Reads up to n bytes; fewer when the peer closes or nothing comes in time.
    Bytes read(std::size_t n, int timeout_ms = 3000) {
        Bytes out(n);
        std::size_t got = 0;
        while (got < n) {
            os::PollItem p{.socket = fd_, .read = true};
            if (os::poll(&p, 1, timeout_ms) <= 0) break;
            long r = os::recv(fd_, out.data() + got, n - got);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        out.resize(got);
        return out;
    }

    // True when the peer has closed: a read returns end of stream in time.
    bool closed_by_peer() {
        os::PollItem p{.socket = fd_, .read = true};
        std::uint8_t byte;
        return os::poll(&p, 1, 3000) == 1 && os::recv(fd_, &byte, 1) == 0;
    }

  private:
    os::sock_t fd_;
};

// The n bytes at from, as text; empty when they are not all there.
std::string slice(const Bytes& b, std::size_t from, std::size_t n) {
    return from + n <= b.size() ? to_hex(Bytes(b.begin() + from, b.begin() + from + n)) : "";
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes counting(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(i);
    return out;
}

const Bytes kSmallRequest = hex("00 00 80 08 00 00 00 02 01 30 00 00");

TEST(TestPeer, RecordsAnHandFramedRequestAndAnswersAPlainStatus) {
    TestPeer peer;
    peer.script({{{status_answer(StatusRecord{}.error(18065), true)}}});
    Client c(peer.server_port());
    Bytes wire = cat(hex("00 00 80 5C 00 00 00 56"), cat(counting(86), hex("00 00")));
    c.send(wire);

    ASSERT_TRUE(peer.wait_for_requests(1));
    Request req = peer.requests().at(0);
    EXPECT_EQ(req.length_word, 86u);
    EXPECT_EQ(to_hex(req.payload), to_hex(counting(86)));
    EXPECT_EQ(to_hex(req.raw), to_hex(wire));

    EXPECT_EQ(slice(c.read(100), 0, 12), "00 00 80 60 00 00 00 5C 00 00 46 91");
}

TEST(TestPeer, JoinsARequestCutIntoFragmentsOfAnyLength) {
    TestPeer peer;
    Client c(peer.server_port());
    c.send(hex("00 00 00 05 00 00 00 06 AA"));
    c.send(hex("00 00 80 07 BB CC DD EE FF 00 00"));
    ASSERT_TRUE(peer.wait_for_requests(1));
    EXPECT_EQ(to_hex(peer.requests().at(0).payload), "AA BB CC DD EE FF");
    EXPECT_EQ(peer.requests().at(0).raw.size(), 20u);
}

TEST(TestPeer, FramesAnswersAsScripted) {
    const Bytes payload = hex("AA BB CC");
    const struct {
        Answer answer;
        const char* wire;
    } cases[] = {
        {{payload, {}, {}, false}, "00 00 80 08 00 00 00 03 AA BB CC 00"},
        {{payload, {}, {3, 5}, false}, "00 00 00 03 00 00 00 00 00 80 05 03 AA BB CC 00"},
        {{payload, {}, {4}, false}, "00 00 00 04 00 00 00 03 00 00 80 04 AA BB CC 00"},
        {{payload, {}, {8, 0}, false}, "00 00 00 08 00 00 00 03 AA BB CC 00 00 00 80 00"},
        {{payload, 0x1005C, {}, false}, "00 00 80 08 00 01 00 5C AA BB CC 00"},
        {{hex("00 01 80 10 DE AD"), {}, {2}, true}, "00 01 80 10 DE AD"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.wire);
        TestPeer peer;
        peer.script({{{tc.answer}}});
        Client c(peer.server_port());
        c.send(kSmallRequest);
        Bytes expected = hex(tc.wire);
        EXPECT_EQ(to_hex(c.read(expected.size())), tc.wire);
        EXPECT_TRUE(c.read(1, 50).empty()) << "bytes beyond the scripted answer";
    }
}

TEST(TestPeer, NeverAnswerHoldsUntilReleased) {
    TestPeer peer;
    peer.script({{{status_answer(StatusRecord{}, false)}, Fault::never_answer}});
    Client c(peer.server_port());
    c.send(kSmallRequest);
    ASSERT_TRUE(peer.wait_for_requests(1));
    EXPECT_TRUE(c.read(1, 100).empty());
    EXPECT_FALSE(peer.wait_for_disconnect(std::chrono::milliseconds(50)));
    peer.release_held();
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_TRUE(peer.wait_for_disconnect());
}

TEST(TestPeer, DispatcherRepliesAsConfigured) {
    struct Case {
        const char* name;
        DispatchReply reply;
        std::size_t expected_length;
    };
    const Case cases[] = {
        {"full reply", {0, 2, 501, 52, false}, 52},
        {"short reply", {0, 2, 501, 51, false}, 51},
        {"no reply", {0, 2, 501, 52, true}, 0},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        TestPeer peer;
        peer.set_dispatch_reply(tc.reply);
        Client c(peer.dispatcher_port());
        c.send(hex("00 00 29 81"));
        Bytes reply = c.read(52);
        ASSERT_EQ(reply.size(), tc.expected_length);
        EXPECT_TRUE(c.closed_by_peer());
        if (reply.size() == 52) {
            EXPECT_EQ(slice(reply, 0, 8), "00 00 00 00 00 00 00 00");
            EXPECT_EQ(slice(reply, 44, 8), "00 00 00 00 00 02 01 F5");
        }
        ASSERT_EQ(peer.dispatch_requests().size(), 1u);
        EXPECT_EQ(to_hex(peer.dispatch_requests()[0]), "00 00 29 81");
    }
}

TEST(TestPeer, StandaloneServesRequestsOnTheDispatcherConnection) {
    TestPeer peer;
    peer.set_dispatch_reply({18070, 3, {}, 52, false});
    peer.script({{{status_answer(StatusRecord{}, true)}}});
    Client c(peer.dispatcher_port());
    c.send(hex("00 00 29 81"));
    Bytes reply = c.read(52);
    ASSERT_EQ(reply.size(), 52u);
    EXPECT_EQ(slice(reply, 0, 4), "00 00 46 96");
    EXPECT_EQ((reply[50] << 8 | reply[51]), peer.server_port());

    c.send(kSmallRequest);
    EXPECT_EQ(to_hex(c.read(8)), "00 00 80 60 00 00 00 5C");
    ASSERT_TRUE(peer.wait_for_requests(1));
    EXPECT_EQ(to_hex(peer.requests()[0].payload), "01 30");
    EXPECT_EQ(peer.server_connections(), 0);
    EXPECT_FALSE(peer.wait_for_disconnect(std::chrono::milliseconds(50)));
    c.close();
    EXPECT_TRUE(peer.wait_for_disconnect());
}

} // namespace
} // namespace kl::test

// The request exchange against the test peer: the bytes that cross the
// socket, the byte-order rule, and answers that are cut, long, short or
// broken off.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "library_fixture.h"
#include "trace_log.h"
#include "transport/exchange.h"

namespace kl {
namespace {

using test::Bytes;
using test::hex;
using test::StatusRecord;
using test::to_hex;

// A connection from the library's transport to the peer's server port,
// recorded as network access instance 1 without the dispatcher exchange,
// in the byte order of the test's parameter.
struct ExchangeTest : ::testing::TestWithParam<bool> {
    test::TestPeer peer;

    bool big_endian() const { return GetParam(); }
    void SetUp() override { connect(); }
    void TearDown() override { test::reset_library_state(); }

    void connect() {
        transport_state = {};
        auto block = new_block<NetworkAccessInstance>();
        block->link.socket = platform::socket_open();
        ASSERT_NE(block->link.socket, platform::invalid_socket);
        platform::Ipv4Endpoint server;
        server.family = 2;
        server.port_net = platform::host_to_net16(peer.server_port());
        server.address[0] = 127;
        server.address[3] = 1;
        ASSERT_EQ(platform::socket_connect(block->link.socket, server), 0);
        ASSERT_EQ(record_connection(block), 0);
        transport_state.byte_order_flag = big_endian() ? 1 : 0;
        platform::set_short_receive_every(3);
    }

    // Sends a request, reads the answer into a buffer of the given size and
    // copies the status.
    int exchange(const Bytes& request, std::size_t capacity, klstatus& status,
                 Bytes* answer = nullptr) {
        if (int rc = send_request(request, status)) return rc;
        Bytes buffer(capacity, 0xEE);
        if (int rc = receive_response(buffer, status)) return rc;
        copy_status(buffer, status);
        if (answer) *answer = buffer;
        return 0;
    }
};

INSTANTIATE_TEST_SUITE_P(ByteOrders, ExchangeTest, ::testing::Bool(), test::byte_order_name);

TEST_P(ExchangeTest, CloseCursorRequestCrossesTheSocketAsSpecifiedBytes) {
    peer.script({{{test::status_answer(StatusRecord().error(0), big_endian())}}});
    std::uint8_t buffer[86];
    RequestBuilder request(buffer);
    const ServerId cursor_id{{0x0A, 0x00, 0x00, 0x00}};
    request.code(304).id(cursor_id).options_field("KEEP;dropped");
    ASSERT_TRUE(request.fits());
    ASSERT_EQ(request.size(), 86u);

    klstatus status{};
    ASSERT_EQ(exchange(Bytes(request.request().begin(), request.request().end()), 92, status), 0);
    ASSERT_TRUE(peer.wait_for_requests(1));
    const test::Request sent = peer.requests().at(0);
    // The identifier is never swapped; two bytes of padding end the record.
    const Bytes expected =
        test::join({hex("00 00 80 5C 00 00 00 56"), hex(big_endian() ? "01 30" : "30 01"),
                    hex("0A 00 00 00"), test::text_bytes("KEEP", 80), Bytes(2, 0)});
    EXPECT_EQ(to_hex(sent.raw), to_hex(expected));
}

TEST_P(ExchangeTest, StatusWordsFollowTheByteOrderAndTheTextIsCopiedAsItIs) {
    StatusRecord answer;
    answer.error(18065).warn(2).info(10054).count(4).bufflen(300).valuesize(12);
    answer.words[13] = -7;
    std::memset(answer.buffer, 'T', sizeof answer.buffer); // no terminator at all
    peer.script({{{test::status_answer(answer, big_endian())}}});

    klstatus status{};
    ASSERT_EQ(exchange(hex("30 01"), 92, status), 0);
    EXPECT_EQ(status.error, 18065);
    EXPECT_EQ(status.warn, 2);
    EXPECT_EQ(status.info, 10054);
    EXPECT_EQ(status.count, 4);
    EXPECT_EQ(status.bufflen, 300);
    EXPECT_EQ(status.valuesize, 12);
    EXPECT_EQ(status.reserved13, -7);
    EXPECT_EQ(std::string(status.buffer, 36), std::string(36, 'T'));
}

TEST_P(ExchangeTest, TheStatusTraceLineShowsNoMoreThanTheTextsThirtySixBytes) {
    test::TraceLog log;
    StatusRecord answer;
    answer.error(7).count(3);
    std::memset(answer.buffer, 'T', sizeof answer.buffer);
    peer.script({{{test::status_answer(answer, big_endian())}}});
    klstatus status{};
    ASSERT_EQ(exchange(hex("30 01"), 92, status), 0);
    EXPECT_EQ(log.text(), "KL status (returned)\n  error=7\n  warn=0\n  info=0\n  count=3\n  "
                          "bufflen=0\n  instance=0\n  cursor=0\n  buffer=" +
                              std::string(36, 'T') + "\n");
}

TEST_P(ExchangeTest, OnlyTheLowSixteenBitsOfTheLengthWordCount) {
    test::Answer answer = test::status_answer(StatusRecord().error(5), big_endian());
    answer.length_word = 0x1005C;
    peer.script({{{answer}}, {{test::status_answer(StatusRecord().error(6), big_endian())}}});
    klstatus status{};
    ASSERT_EQ(exchange(hex("30 01"), 92, status), 0);
    EXPECT_EQ(status.error, 5);
    EXPECT_EQ(transport_state.received_length, 92u);
    ASSERT_EQ(exchange(hex("30 01"), 92, status), 0);
    EXPECT_EQ(status.error, 6);
}

TEST_P(ExchangeTest, AnAnswerShorterThanAStatusReadsAsZerosPastItsEnd) {
    test::Answer eight_bytes;
    eight_bytes.payload = hex("01 00 00 00 02 00 00 00");
    peer.script({{{eight_bytes}}});
    klstatus status;
    std::memset(&status, 0x33, sizeof status);
    ASSERT_EQ(exchange(hex("30 01"), 92, status), 0);
    EXPECT_EQ(status.error, big_endian() ? 0x01000000 : 1);
    EXPECT_EQ(status.count, 0);
    EXPECT_EQ(status.buffer[0], '\0');
}

// A record that ends before its length word says is a malformed answer:
// 18065 with info 0, the status filled as for every failed transfer.  (A
// connection closed or reset mid-answer is walked through every call by
// the fault injection test.)
TEST_P(ExchangeTest, AShortRecordFailsWith18065) {
    test::Answer short_record = test::status_answer(StatusRecord(), big_endian());
    short_record.length_word = 200; // claims more than the record holds
    peer.script({{{short_record}}});
    klstatus status{};
    std::strcpy(status.buffer, "old");
    status.count = 9;
    EXPECT_EQ(exchange(hex("30 01"), 92, status), KL_ERR_SOCKET);
    EXPECT_EQ(status.error, KL_ERR_SOCKET);
    EXPECT_EQ(status.warn, 0);
    EXPECT_EQ(status.info, 0);
    EXPECT_EQ(status.buffer[0], '\0');
    EXPECT_EQ(status.count, 9);
}

TEST(ExchangeWithoutConnection, FailsWithNotConnected) {
    transport_state = {};
    klstatus status{};
    EXPECT_EQ(send_request(hex("30 01"), status), KL_ERR_SOCKET);
    EXPECT_EQ(status.info, 10057);
    std::uint8_t buffer[92];
    EXPECT_EQ(receive_response(buffer, status), KL_ERR_SOCKET);
}

TEST(ByteOrder, ExportedReversalFunctions) {
    std::uint8_t two[2];
    EXPECT_EQ(itoi(1, two), 256);
    EXPECT_EQ(to_hex(Bytes(two, two + 2)), "00 01");
    std::uint8_t four[4];
    EXPECT_EQ(ltol(1, four), 16777216);
    EXPECT_EQ(to_hex(Bytes(four, four + 4)), "00 00 00 01");
    kl_long in_place = 0x11223344;
    EXPECT_EQ(ltol(in_place, &in_place), 0x44332211);
    EXPECT_EQ(itoi(304, nullptr), 0x3001); // a null target stores nothing
}

TEST(RequestBuilder, RefusesWhatDoesNotFitAndWritesNothingPastTheBuffer) {
    transport_state = {};
    std::uint8_t buffer[12];
    std::memset(buffer, 0xCC, sizeof buffer);
    RequestBuilder request(std::span(buffer, 10));
    request.code(301).string("abcd").string("xyzw");
    EXPECT_FALSE(request.fits());
    EXPECT_EQ(request.size(), 7u);
    EXPECT_EQ(buffer[10], 0xCC);
    request.i32(1); // nothing more once it failed
    EXPECT_EQ(request.size(), 7u);

    RequestBuilder exact(std::span(buffer, 10));
    exact.code(301).i32(-2).string("abc");
    EXPECT_TRUE(exact.fits());
    EXPECT_EQ(to_hex(Bytes(buffer, buffer + 10)), "2D 01 FE FF FF FF 61 62 63 00");
}

} // namespace
} // namespace kl

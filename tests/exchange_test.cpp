// The host connection and the request exchange against the test peer: refusals
// before any socket, the byte order, the bytes on the socket, short or broken answers.

#include <cstring>
#include <tuple>

#include "library_fixture.h"
#include "transport/exchange.h"
#include "transport/host_connection.h"

namespace kl::test {
namespace {

// Connected to the peer, whose dispatcher reports the parameter's byte order.
struct ExchangeTest : ByteOrderTest {
    void SetUp() override {
        ByteOrderTest::SetUp();
        serve_in_order();
        const std::string port = std::to_string(peer.dispatcher_port());
        ASSERT_EQ(hostconnect({.machine_text = "127.0.0.1", .port_text = port.c_str()}).code, 0u);
        platform::set_short_receive_every(3);
    }
};

INSTANTIATE_TEST_SUITE_P(ByteOrders, ExchangeTest, ::testing::Bool(), byte_order_name);

// A close-cursor request and its answer as bytes, then short or broken answers.
TEST_P(ExchangeTest, BytesThatCrossTheSocketAndShortOrBrokenAnswers) {
    TraceLog log;
    StatusRecord record;
    record.error(18065).warn(2).info(10054).count(4).bufflen(300).valuesize(12).words[13] = -7;
    std::memset(record.buffer, 'T', sizeof record.buffer); // no terminator
    answer(record);
    std::uint8_t buffer[86];
    RequestBuilder request(buffer);
    request.code(304).id(ServerId{{0x0A, 0x00, 0x00, 0x00}}).options_field("KEEP;dropped");
    ASSERT_TRUE(request.fits());
    ASSERT_EQ(request.size(), 86u);

    klstatus st{};
    std::uint8_t area[92];
    ASSERT_TRUE(exchange_request(request.request(), area, st));
    ASSERT_TRUE(peer.wait_for_requests(1));
    // The identifier is never swapped; two bytes of padding end the record.
    const Bytes expected = join({hex("00 00 80 5C 00 00 00 56"), hex(big() ? "01 30" : "30 01"),
                                 hex("0A 00 00 00"), text_bytes("KEEP", 80), Bytes(2, 0)});
    EXPECT_EQ(to_hex(peer.requests().at(0).raw), to_hex(expected));

    // The words follow the byte order; the text is copied as is, traced up to 36 bytes.
    const std::vector<kl_long> words = {st.error,   st.warn,      st.info,      st.count,
                                        st.bufflen, st.valuesize, st.reserved13};
    EXPECT_EQ(words, (std::vector<kl_long>{18065, 2, 10054, 4, 300, 12, -7}));
    EXPECT_EQ(std::string(st.buffer, 36), std::string(36, 'T'));
    EXPECT_NE(log.text().find("KL status (returned)\n  error=18065\n  warn=2\n  info=10054\n  "
                              "count=4\n  bufflen=300\n  instance=0\n  cursor=0\n  buffer=" +
                              std::string(36, 'T') + "\n"),
              std::string::npos);

    // An answer shorter than a status reads as zeros past its end.
    answer({Answer{.payload = hex("01 00 00 00 02 00 00 00")}});
    std::memset(&st, 0x33, sizeof st);
    ASSERT_TRUE(exchange_request(hex("30 01"), area, st));
    EXPECT_EQ(st.error, big() ? 0x01000000 : 1);
    EXPECT_EQ(st.count, 0);
    EXPECT_EQ(st.buffer[0], '\0');

    // A record that ends before its length word says: 18065 with info 0, the
    // status filled as for every failed transfer, and the connection dropped.
    answer({Answer{.payload = reply().payload, .length_word = 200}});
    std::strcpy(st.buffer, "old");
    st.count = 9;
    EXPECT_FALSE(exchange_request(hex("30 01"), area, st));
    EXPECT_EQ(std::vector<kl_long>({st.error, st.warn, st.info, st.count}),
              (std::vector<kl_long>{KL_ERR_SOCKET, 0, 0, 9}));
    EXPECT_EQ(st.buffer[0], '\0');
    EXPECT_EQ(transport_state.connected_flag, 0);
    EXPECT_EQ(send_request(hex("30 01"), st), KL_ERR_SOCKET);
    EXPECT_EQ(st.info, 10057); // not connected
    EXPECT_FALSE(receive_response(area, st));
}

// hostconnect on its own: the values it refuses before any socket, and the
// byte order the dispatcher's reply decides.
TEST_F(LibraryTest, HostConnectRefusalsAndTheDispatchersByteOrder) {
    using Machine = DispatcherAddress::Machine;
    const std::uint32_t rejected = KL_MAKE_RESULT(KL_CAT_CLIENT, 18006);
    // The address, then the result and the step it names.
    const std::tuple<Machine, const char*, const char*, std::uint32_t, const char*> cases[] = {
        {Machine::ip_address, "0.0.0.0", "700", KL_ERR_BAD_IP_ADDRESS, "0.0.0.0"},
        {Machine::ip_address, "0", "700", KL_ERR_BAD_IP_ADDRESS, "0"},
        // What this connection once read as option text is still refused.
        {Machine::ip_address, "1.2.3.4", "7,NODISABLE", rejected, "hostconnect"},
        {Machine::host_name, "a b", "7", rejected, "hostconnect"},
        {Machine::ip_address, "1.2.3.4", "", rejected, "hostconnect"},
    };
    for (const auto& [machine, machine_text, port_text, result, step] : cases) {
        SCOPED_TRACE(machine_text);
        const HostResult r =
            hostconnect({.machine = machine, .machine_text = machine_text, .port_text = port_text});
        EXPECT_EQ(r.code, result);
        EXPECT_STREQ(r.step, step);
        EXPECT_EQ(transport_state.connected_flag, 0);
    }
    EXPECT_EQ(peer.dispatcher_connections(), 0);

    const std::string port = std::to_string(peer.dispatcher_port());
    const DispatcherAddress at{.machine_text = "127.0.0.1", .port_text = port.c_str()};
    // Host type, then the byte-order flag it sets.
    const std::pair<std::uint16_t, std::uint16_t> orders[] = {{0, 0}, {2, 1}, {3, 1}, {4, 0}};
    for (const auto& [host_type, flag] : orders) {
        SCOPED_TRACE(host_type);
        peer.set_dispatch_reply({.host_type = host_type});
        ASSERT_EQ(hostconnect(at).code, 0u);
        EXPECT_EQ(transport_state.host_type, host_type);
        EXPECT_EQ(transport_state.byte_order_flag, flag);
        EXPECT_EQ(hostdisconnect().code, 0u);
    }
    // A status beyond the library's numbers: 18001 of the client category.
    peer.set_dispatch_reply({.status = 0x01000000});
    EXPECT_EQ(hostconnect(at).code, KL_MAKE_RESULT(KL_CAT_CLIENT, 18001));
}

TEST(RequestBytes, ReversalFunctionsAndTheBuilder) {
    std::uint8_t target[2] = {};
    EXPECT_EQ(itoi(304, target), 0x3001);
    EXPECT_EQ(target[0], 0x01);
    EXPECT_EQ(itoi(304, nullptr), 0x3001);
    EXPECT_EQ(ltol(1, nullptr), 0x01000000);

    // The builder refuses what does not fit, writing nothing past the buffer.
    reset_process_state();
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
} // namespace kl::test

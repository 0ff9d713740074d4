// The information calls: apierror for every category, apiinfo's keyword
// matching, the host version exchange in both byte orders and under
// hostile answers, and apiversion's boxes.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "library_fixture.h"

namespace kl::test {
namespace {

constexpr std::uint32_t client(std::uint32_t number) {
    return KL_MAKE_RESULT(KL_CAT_CLIENT, number);
}

struct InfoTest : LibraryTest {
    void SetUp() override {
        LibraryTest::SetUp();
        ::setenv("KL_STRINGS",
                 write_file("strings.ini", "[strings]\n18011=Not connected\n").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KL_STRINGS");
        LibraryTest::TearDown();
    }
};

TEST_F(InfoTest, ApiErrorTextForEveryCategory) {
    write_file("talvern.ini", "[Kelora]\nKLGlobal=messages.ini\n");
    write_file("messages.ini", "[ENVIRONMENT KLGLOBAL]\nKLMSG_11042=Cursor not open\nKLMSG_00005=" +
                                   std::string(250, 'L') + "\n");
    const std::string unknown = "Client (PC):  unknown error category (subsystem).";
    struct Case {
        std::uint32_t code;
        klstatus status;
        std::string message;
        std::uint32_t result;
    };
    klstatus cursor_status{};
    cursor_status.error = 11042;
    std::strcpy(cursor_status.buffer, "client cursor");
    klstatus long_status{};
    long_status.error = 5;
    const Case cases[] = {
        {11042, cursor_status, "KELORA:  Cursor not open (client cursor)", 0},
        {5, long_status, "KELORA:  " + std::string(246, 'L'), 0},
        {client(18011), {}, "Client (PC):  Not connected", 0},
        {KL_MAKE_RESULT(KL_CAT_HOST, 18011), {}, "Server (HOST):  Not connected", 0},
        {client(4242), {}, "Client (PC):  Unknown error.", client(18003)},
        {KL_MAKE_RESULT(KL_CAT_SOCKETS, 10053), {}, "Sockets communication error #10053", 0},
        {KL_MAKE_RESULT(KL_CAT_PPL, 7), {}, unknown, client(18012)},
        {KL_MAKE_RESULT(4, 7), {}, unknown, client(18012)},
        {0xFF000001u, {}, unknown, client(18012)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        klstatus st = c.status;
        char area[300];
        std::memset(area, 'Z', sizeof area);
        EXPECT_EQ(apierror(c.code, &st, area), c.result);
        EXPECT_EQ(std::string(area), c.message);
        EXPECT_EQ(area[256], 'Z'); // nothing past the 256 bytes
    }
    EXPECT_EQ(apierror(0, nullptr, nullptr), client(KL_ERR_NULL_ARGUMENT));
}

TEST_F(InfoTest, ApiInfoMatchesEightCharacters) {
    struct Case {
        const char* options;
        std::uint32_t result;
        std::string written; // empty: nothing written
    };
    const std::string host_type_zero("\0\0", 2);
    const Case cases[] = {
        {"hosttype", 0, host_type_zero},
        {"HOSTTYPE", 0, host_type_zero},
        {"clientve", 0, std::string(KLSRV32_VERSION_TEXT "\0", 7)},
        {"CLIENTVERSIONS", 0, std::string(KLSRV32_VERSION_TEXT "\0", 7)},
        {"client", client(18006), ""},
        {nullptr, client(18006), ""},
        {"hostvers", client(18011), ""}, // not connected
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options ? c.options : "(null)");
        char result[16];
        std::memset(result, 'R', sizeof result);
        EXPECT_EQ(apiinfo(0, c.options, nullptr, result), c.result);
        const std::string expected = c.written.empty()
                                         ? std::string(16, 'R')
                                         : c.written + std::string(16 - c.written.size(), 'R');
        EXPECT_EQ(std::string(result, 16), expected);
    }
    EXPECT_EQ(apiinfo(0, "hosttype", nullptr, nullptr), client(KL_ERR_NULL_ARGUMENT));
    EXPECT_EQ(owner_word.load(), 0u);
}

struct HostVersionTest : InfoTest, ::testing::WithParamInterface<bool> {
    bool big() const { return GetParam(); }
};

TEST_P(HostVersionTest, RequestAndAnswersOfEveryLength) {
    peer.set_dispatch_reply({.host_type = static_cast<std::uint16_t>(big() ? 2 : 1)});
    script_connect(big());
    connect(write_environment());
    std::uint16_t host_type = 0;
    EXPECT_EQ(apiinfo(0, "hosttype", nullptr, &host_type), 0u);
    EXPECT_EQ(host_type, big() ? 2 : 1);

    // An answer longer than 8 bytes is cut to them and the rest consumed; a
    // shorter one is passed on with zeros after it.
    peer.script({{{{.payload = text_bytes("V1.02.03", 8)}}},
                 {{{.payload = text_bytes("V2-LONGER-THAN-EIGHT")}}},
                 {{{.payload = Bytes{'V', '3'}}}},
                 {{{.payload = text_bytes("V4.00.00", 8)}}}});
    char result[12];
    std::memset(result, 'R', sizeof result);
    EXPECT_EQ(apiinfo(0, "HOSTVERSION", nullptr, result), 0u);
    EXPECT_EQ(std::string(result, 12), "V1.02.03" + std::string(4, 'R'));
    EXPECT_EQ(apihostversion(result), 0u);
    EXPECT_EQ(std::string(result, 8), "V2-LONGE");
    EXPECT_EQ(apihostversion(result), 0u);
    EXPECT_EQ(std::string(result, 8), std::string("V3\0\0\0\0\0\0", 8));
    EXPECT_EQ(apihostversion(result), 0u);
    EXPECT_EQ(std::string(result, 8), "V4.00.00");

    ASSERT_TRUE(peer.wait_for_requests(5));
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(to_hex(peer.requests()[i].payload), to_hex(number_bytes(250, 2, big())));
        EXPECT_EQ(peer.requests()[i].length_word, 2u);
    }
    EXPECT_EQ(owner_word.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, HostVersionTest, ::testing::Bool(), byte_order_name);

TEST_F(InfoTest, HostVersionRefusals) {
    char result[8];
    std::memset(result, 'R', sizeof result);
    EXPECT_EQ(apihostversion(result), client(18011));

    script_connect(false);
    connect(write_environment());
    // Another call holds the owner: refused and the owner kept, while the
    // calls without the guard still answer.
    owner_word = 4321;
    EXPECT_EQ(apihostversion(result), client(18002));
    EXPECT_EQ(apiinfo(0, "hostversion", nullptr, result), client(18002));
    EXPECT_EQ(owner_word.load(), 4321u);
    char text[256];
    EXPECT_EQ(apierror(KL_MAKE_RESULT(KL_CAT_SOCKETS, 1), nullptr, text), 0u);
    EXPECT_EQ(owner_word.load(), 4321u);
    owner_word = 0;

    // A broken exchange writes nothing to the caller's area.
    peer.script({{.fault = Fault::close_before_answer}});
    EXPECT_EQ(apihostversion(result), client(18065));
    EXPECT_EQ(apihostversion(nullptr), client(KL_ERR_NULL_ARGUMENT));
    EXPECT_EQ(std::string(result, 8), std::string(8, 'R'));
    EXPECT_EQ(peer.requests().size(), 2u); // the connect request and the broken one
}

TEST_F(InfoTest, ApiVersionShowsTwoConstantBoxes) {
    char result[8];
    std::memset(result, 'R', sizeof result);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(apiversion(result), 0u);
    const std::string shown = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(result, 8), std::string(KLSRV32_VERSION_TEXT "\0R", 8));
    EXPECT_EQ(shown,
              "VESK Client/Server API: VESK API Information\n\n(Local and Remote Software "
              "Versions)\n\nVESK DLL Version:\t\t " KLSRV32_VERSION_TEXT
              "\n\nHost Type:\t\tUnix\n\t\t\t(Not "
              "Connected)\nHost Version:\t\t00.00.00\n\nPPLHOSTP Version:\t0.0\n\nPPL DLL "
              "Version:\t\t0.0\nPPLSERV Version:\t\t0.0\n"
              "VESK Client/Server API: VESK API Information\n\n(Connection Statistics Since Last "
              "Read/Write)\n\nLine Hits\t\t\t0\nRe Transmits\t\t0\nTimeOuts\t\t0\nConsecutive "
              "T.Outs\t0\nReceive Naks\t\t0\nTransmit Naks\t\t0\n");
    EXPECT_EQ(apiversion(nullptr), client(KL_ERR_NULL_ARGUMENT));
}

} // namespace
} // namespace kl::test

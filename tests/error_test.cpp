// klerror's local and server messages, apierror, apiinfo, the host version
// exchange and apiversion.

#include <algorithm>
#include <cstring>

#include "library_fixture.h"

namespace kl::test {
namespace {

const std::string no_file_text =
    "The file containing the messages for the Kelora API calls could not be located.  Verify "
    "that you have an TALVERN.INI file in the Windows directory (usually C:\\Windows) with an "
    "KLGLOBAL entry for the message file.";
const std::string not_found_text =
    "The file containing the messages for the Kelora API calls could not be located or the "
    "message is not defined.  Verify that you have an TALVERN.INI file in the Windows directory "
    "(usually C:\\Windows) with an KLGLOBAL entry for the message file.";

klstatus make_status_record(std::int32_t error, std::int32_t info = 0, const char* text = "") {
    klstatus st{};
    st.error = error;
    st.info = info;
    std::memcpy(st.buffer, text, std::min(std::strlen(text), sizeof st.buffer));
    return st;
}

struct ErrorTest : LibraryTest {
    // A message area with a guard stretch after its 256 bytes.
    char area[300];
    ErrorTest() { std::memset(area, '#', sizeof area); }

    // Connected to the peer, which serves numbers in the host type's order.
    // messages (if any) become the message file's entries.
    void connect_peer(std::uint16_t host_type = 1, const char* messages = nullptr) {
        if (messages) write_messages(messages);
        peer.set_dispatch_reply({.host_type = host_type});
        script_connect(host_type != 1);
        connect(write_environment());
    }

    void write_messages(const std::string& entries) {
        write_file("talvern.ini", "[Kelora]\nKLGlobal=messages.ini\n");
        write_file("messages.ini", "[ENVIRONMENT KLGLOBAL]\n" + entries);
    }

    std::string explain(klstatus& st, const char* options = "") {
        EXPECT_EQ(klerror(&st, options, area), area);
        EXPECT_EQ(area[256], '#') << "written past the message area";
        return area;
    }
};

TEST_F(ErrorTest, LocalMessagesByKeyForm) {
    write_messages("SOCKMSG_10054=Connection reset\nSOCKMSG_00061=Socket 61\n"
                   "KLMSG-00003=Minus three\nKLMSG_18011=Not connected\nKLMSG_00000=All well\n"
                   "KLMSG_11042=Cursor not open\n");
    const std::string long_context(36, 'c'); // a status text without a terminator
    const std::pair<klstatus, std::string> cases[] = {
        {make_status_record(18065, 10054), "Connection reset"},
        {make_status_record(18065, 61), "Socket 61"},
        {make_status_record(-3), "Minus three"},
        {make_status_record(18011), "Not connected"},
        {make_status_record(0), "All well"},
        {make_status_record(11042, 0, "client cursor"), "Cursor not open (client cursor)"},
        {make_status_record(11042, 0, long_context.c_str()),
         "Cursor not open (" + long_context + ")"},
        {make_status_record(4711), not_found_text}, // not in the file, not connected
    };
    for (const auto& [status, message] : cases) {
        SCOPED_TRACE(message);
        klstatus st = status;
        EXPECT_EQ(explain(st), message);
        EXPECT_EQ(std::memcmp(&st, &status, sizeof st), 0); // the status is only read
    }

    // Long file texts keep what fits of the context.
    const std::pair<std::size_t, std::string> longs[] = {
        {240, " (client curso)"}, // cut to fill the 256 bytes exactly
        {251, " (c)"},
        {252, ""}, // no character of the context fits: the text stands alone
        {254, ""},
        {255, ""},
    };
    for (const auto& [length, suffix] : longs) {
        SCOPED_TRACE(length);
        const std::string text(length, 't');
        write_messages("KLMSG_11042=" + text + "\n");
        message_file_state = {};
        klstatus st = make_status_record(11042, 0, "client cursor");
        EXPECT_EQ(explain(st), text + suffix);
    }
}

struct ServerAnswerTest : ErrorTest, ::testing::WithParamInterface<bool> {};

TEST_P(ServerAnswerTest, AskedOnlyOnceTheFileIsKnownToBeMissing) {
    connect_peer(GetParam() ? 3 : 1);

    klstatus st = make_status_record(2001, -7, "table SALES");
    st.count = 3;
    st.reserved13 = 0x01020304;
    const klstatus asked = st;
    std::strcpy(area, "before");
    EXPECT_EQ(explain(st), no_file_text);
    // With no answer to be had, the text for a message not found, not the area's own.
    std::strcpy(area, "before");
    owner_word = 12345;
    EXPECT_EQ(explain(st), not_found_text);
    owner_word = 0;

    // The name is not read again, even once talvern.ini has one.
    write_messages("KLMSG_02001=From the file\n");
    peer.script({{{status_answer(StatusRecord{}.error(2001).info(9).text("srv"), GetParam(),
                                 text_bytes("No such table"))}}});
    std::strcpy(area, "before");
    EXPECT_EQ(explain(st, "LANG=EN;rest"), "No such table");
    EXPECT_EQ(st.error, 2001);
    EXPECT_EQ(st.info, 9);
    EXPECT_EQ(std::string(st.buffer), "srv");
    EXPECT_EQ(owner_word.load(), 0u);

    ASSERT_TRUE(peer.wait_for_requests(2));
    Bytes words;
    for (std::int32_t w : {2001, 0, -7, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01020304})
        words = join({words, number_bytes(static_cast<std::uint32_t>(w), 4, GetParam())});
    EXPECT_EQ(to_hex(peer.requests()[1].payload),
              to_hex(join({number_bytes(317, 2, GetParam()), words,
                           Bytes(asked.buffer, asked.buffer + 36), text_bytes("LANG=EN", 80)})));
    EXPECT_EQ(peer.requests()[1].length_word, 174u);
}

TEST_F(ErrorTest, ServerExchangeNeedsAnAreaAndTheGuardAndKeepsHostileAnswersInTheirAreas) {
    connect_peer(1, "");

    // Another call holds the guard: no request, the caller's area as it stands.
    owner_word = 12345;
    klstatus st = make_status_record(11042, 3, "ctx");
    const klstatus before = st;
    EXPECT_EQ(explain(st), not_found_text);
    EXPECT_EQ(owner_word.load(), 12345u);
    EXPECT_EQ(std::memcmp(&st, &before, sizeof st), 0);
    owner_word = 0;

    // Without a message area or a status there is nothing to do.
    EXPECT_EQ(klerror(&st, "", nullptr), nullptr);
    std::strcpy(area, "kept");
    EXPECT_EQ(klerror(nullptr, "", area), area);
    EXPECT_STREQ(area, "kept");
    EXPECT_EQ(peer.requests().size(), 1u); // the connect request alone

    // klerror's own trace lines (the frame's are the cursor test's).
    TraceLog trace;
    peer.script({{{status_answer(StatusRecord{}.error(5), false, text_bytes("next"))}}});
    st = make_status_record(11042);
    EXPECT_EQ(explain(st, "OPT"), "next");
    const std::string text = trace.text();
    EXPECT_NE(
        text.find(
            "klerror\n  klstatus.error=11042\n  options=OPT\n  Accessing server message file.\n"),
        std::string::npos);
    EXPECT_NE(text.find("  buffer=\n  Server msg (4)=[next]\n"), std::string::npos) << text;

    // Each hostile answer is followed by an ordinary one, which reads
    // correctly only when the hostile answer was consumed whole.
    const auto after_status = [](const Bytes& tail) -> Answer {
        return {join({encode_status(StatusRecord{}.error(77), false), tail})};
    };
    struct Case {
        const char* name;
        Answer answer;
        std::string message;
        std::int32_t error = 77; // the caller's status afterwards
    };
    const Case cases[] = {
        {"no text", after_status({}), ""},
        {"260 characters in 352 bytes", after_status(Bytes(260, 'a')), std::string(255, 'a')},
        {"longer than the receive area", after_status(Bytes(600, 'b')), std::string(255, 'b')},
        {"text ends early", after_status(join({text_bytes("short"), Bytes(20, 'z')})), "short"},
        {"shorter than a status", {Bytes(50, 0)}, not_found_text, 11042},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer.script(
            {{{c.answer}}, {{status_answer(StatusRecord{}.error(5), false, text_bytes("next"))}}});
        klstatus st = make_status_record(11042);
        EXPECT_EQ(explain(st), c.message);
        EXPECT_EQ(st.error, c.error);
        klstatus next = make_status_record(11042);
        EXPECT_EQ(explain(next), "next");
        EXPECT_EQ(next.error, 5);
    }
}

constexpr std::uint32_t client(std::uint32_t number) {
    return KL_MAKE_RESULT(KL_CAT_CLIENT, number);
}

TEST_F(ErrorTest, ApiErrorApiInfoAndApiVersionUnconnected) {
    write_messages("KLMSG_11042=Cursor not open\nKLMSG_00005=" + std::string(250, 'L') + "\n");
    ::setenv("KL_STRINGS", write_file("strings.ini", "[strings]\n18011=Not connected\n").c_str(),
             1);
    const std::string unknown = "Client (PC):  unknown error category (subsystem).";
    struct Case {
        std::uint32_t code;
        klstatus status;
        std::string message;
        std::uint32_t result;
    };
    const Case cases[] = {
        {11042, make_status_record(11042, 0, "client cursor"),
         "KELORA:  Cursor not open (client cursor)", 0},
        {5, make_status_record(5), "KELORA:  " + std::string(246, 'L'), 0},
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
        std::memset(area, '#', sizeof area);
        EXPECT_EQ(apierror(c.code, &st, area), c.result);
        EXPECT_EQ(std::string(area), c.message);
        EXPECT_EQ(area[256], '#'); // nothing past the 256 bytes
    }
    EXPECT_EQ(apierror(0, nullptr, nullptr), client(KL_ERR_NULL_ARGUMENT));
    ::unsetenv("KL_STRINGS");

    // apiinfo matches eight characters of its keyword.
    struct Info {
        const char* options;
        std::uint32_t result;
        std::string written; // empty: nothing written
    };
    const std::string host_type_zero("\0\0", 2), version(KLSRV32_VERSION_TEXT "\0", 7);
    const Info infos[] = {
        {"hosttype", 0, host_type_zero}, {"HOSTTYPE", 0, host_type_zero},
        {"clientve", 0, version},        {"CLIENTVERSIONS", 0, version},
        {"client", client(18006), ""},   {nullptr, client(18006), ""},
        {"hostvers", client(18011), ""}, // not connected
    };
    char result[16];
    for (const Info& c : infos) {
        SCOPED_TRACE(c.options ? c.options : "(null)");
        std::memset(result, 'R', sizeof result);
        EXPECT_EQ(apiinfo(0, c.options, nullptr, result), c.result);
        EXPECT_EQ(std::string(result, 16), c.written + std::string(16 - c.written.size(), 'R'));
    }
    EXPECT_EQ(apiinfo(0, "hosttype", nullptr, nullptr), client(KL_ERR_NULL_ARGUMENT));
    EXPECT_EQ(owner_word.load(), 0u);

    // apiversion shows two constant boxes.
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

TEST_P(ServerAnswerTest, HostVersionRequestAnswersOfEveryLengthAndRefusals) {
    char result[12];
    std::memset(result, 'R', sizeof result);
    EXPECT_EQ(apihostversion(result), client(18011));
    connect_peer(GetParam() ? 2 : 1);
    std::uint16_t host_type = 0;
    EXPECT_EQ(apiinfo(0, "hosttype", nullptr, &host_type), 0u);
    EXPECT_EQ(host_type, GetParam() ? 2 : 1);

    // Another call holds the owner: refused and the owner kept, while the
    // calls without the guard still answer.
    owner_word = 4321;
    EXPECT_EQ(apihostversion(result), client(18002));
    EXPECT_EQ(apiinfo(0, "hostversion", nullptr, result), client(18002));
    EXPECT_EQ(owner_word.load(), 4321u);
    EXPECT_EQ(apierror(KL_MAKE_RESULT(KL_CAT_SOCKETS, 1), nullptr, area), 0u);
    EXPECT_EQ(owner_word.load(), 4321u);
    owner_word = 0;
    EXPECT_EQ(std::string(result, 12), std::string(12, 'R'));

    // An answer longer than 8 bytes is cut to them and the rest consumed; a
    // shorter one is passed on with zeros after it; a broken exchange writes
    // nothing to the caller's area.
    peer.script({{{{.payload = text_bytes("V1.02.03", 8)}}},
                 {{{.payload = text_bytes("V2-LONGER-THAN-EIGHT")}}},
                 {{{.payload = Bytes{'V', '3'}}}},
                 {{{.payload = text_bytes("V4.00.00", 8)}}},
                 {.fault = Fault::close_before_answer}});
    EXPECT_EQ(apiinfo(0, "HOSTVERSION", nullptr, result), 0u);
    EXPECT_EQ(std::string(result, 12), "V1.02.03" + std::string(4, 'R'));
    for (const char* expected : {"V2-LONGE", "V3\0\0\0\0\0\0", "V4.00.00"}) {
        EXPECT_EQ(apihostversion(result), 0u);
        EXPECT_EQ(std::string(result, 8), std::string(expected, 8));
    }
    EXPECT_EQ(apihostversion(result), client(18065));
    EXPECT_EQ(apihostversion(nullptr), client(KL_ERR_NULL_ARGUMENT));
    EXPECT_EQ(std::string(result, 8), "V4.00.00");

    ASSERT_EQ(peer.requests().size(), 6u); // the connect request and five of code 250
    for (std::size_t i = 1; i < 6; ++i) {
        EXPECT_EQ(to_hex(peer.requests()[i].payload), to_hex(number_bytes(250, 2, GetParam())));
        EXPECT_EQ(peer.requests()[i].length_word, 2u);
    }
    EXPECT_EQ(owner_word.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ServerAnswerTest, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

// klerror: messages from the local message file by each key form, the
// server exchange in both byte orders, and answers and texts that do not
// fit.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

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

    void SetUp() override {
        LibraryTest::SetUp();
        std::memset(area, '#', sizeof area);
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
    struct Case {
        klstatus status;
        std::string message;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        klstatus st = c.status;
        EXPECT_EQ(explain(st), c.message);
        EXPECT_EQ(std::memcmp(&st, &c.status, sizeof st), 0); // the status is only read
    }
}

TEST_F(ErrorTest, LongFileTextsKeepWhatFitsOfTheContext) {
    const std::string context = "client cursor";
    struct Case {
        std::size_t length;
        std::string suffix;
    };
    const Case cases[] = {
        {240, " (client curso)"}, // cut to fill the 256 bytes exactly
        {251, " (c)"},
        {252, ""}, // no character of the context fits: the text stands alone
        {254, ""},
        {255, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string text(c.length, 't');
        write_messages("KLMSG_11042=" + text + "\n");
        message_file_state = {};
        klstatus st = make_status_record(11042, 0, context.c_str());
        EXPECT_EQ(explain(st), text + c.suffix);
    }
}

struct ServerMessageTest : ErrorTest, ::testing::WithParamInterface<bool> {
    bool big() const { return GetParam(); }
};

TEST_P(ServerMessageTest, AskedOnlyOnceTheFileIsKnownToBeMissing) {
    peer.set_dispatch_reply({.host_type = static_cast<std::uint16_t>(big() ? 3 : 1)});
    script_connect(big());
    connect(write_environment());

    klstatus st = make_status_record(2001, -7, "table SALES");
    st.count = 3;
    st.reserved13 = 0x01020304;
    const klstatus asked = st;
    std::strcpy(area, "before");
    EXPECT_EQ(explain(st), no_file_text);

    // The name is not read again, even once talvern.ini has one.
    write_messages("KLMSG_02001=From the file\n");
    peer.script({{{status_answer(StatusRecord{}.error(2001).info(9).text("srv"), big(),
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
        words = join({words, number_bytes(static_cast<std::uint32_t>(w), 4, big())});
    EXPECT_EQ(to_hex(peer.requests()[1].payload),
              to_hex(join({number_bytes(317, 2, big()), words,
                           Bytes(asked.buffer, asked.buffer + 36), text_bytes("LANG=EN", 80)})));
    EXPECT_EQ(peer.requests()[1].length_word, 174u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ServerMessageTest, ::testing::Bool(), byte_order_name);

// Each answer is followed by an ordinary one, which reads correctly only
// when the hostile answer was consumed whole.
TEST_F(ErrorTest, HostileServerAnswersStayWithinTheirAreas) {
    write_messages("");
    script_connect(false);
    connect(write_environment());
    const Bytes status_bytes = encode_status(StatusRecord{}.error(77), false);
    struct Case {
        const char* name;
        Answer answer;
        std::string message;
        std::int32_t error; // the caller's status afterwards
    };
    const Case cases[] = {
        {"no text", {status_bytes}, "", 77},
        {"260 characters in 352 bytes",
         {join({status_bytes, Bytes(260, 'a')})},
         std::string(255, 'a'),
         77},
        {"longer than the receive area",
         {join({status_bytes, Bytes(600, 'b')})},
         std::string(255, 'b'),
         77},
        {"text ends early",
         {join({status_bytes, text_bytes("short"), Bytes(20, 'z')})},
         "short",
         77},
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

TEST_F(ErrorTest, NoServerExchangeWhileAnotherCallRunsOrWithoutAnArea) {
    write_messages("");
    script_connect(false);
    connect(write_environment());

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
}

TEST_F(ErrorTest, ServerPathTraceLineByLine) {
    write_messages("");
    script_connect(false);
    connect(write_environment());
    const std::string log = (dir / "klerror.log").string();
    set_log_file(log.c_str());
    trace_state.debug_flag = 1;

    peer.script({{{status_answer(StatusRecord{}.error(5), false, text_bytes("next"))}}});
    klstatus st = make_status_record(11042);
    EXPECT_EQ(explain(st, "OPT"), "next");
    char me[16];
    std::snprintf(me, sizeof me, "%x", platform::thread_identity());
    EXPECT_EQ(read_file(log),
              std::string("\nFunction: klerror\n  klstatus.error=11042\n  options=OPT\n"
                          "  Accessing server message file.\n  *** Task taking control=") +
                  me +
                  "\nKL status (returned)\n  error=5\n  warn=0\n  info=0\n  count=0\n"
                  "  bufflen=0\n  instance=0\n  cursor=0\n  buffer=\n"
                  "  Server msg (4)=[next]\n  *** Task with control=0x0\n");
}

} // namespace
} // namespace kl::test

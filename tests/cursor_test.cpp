// Cursors, version records up to their bound and disconnect in both byte
// orders; the traces of a klclosecursor line by line and of the banner.

#include <algorithm>
#include <cstring>
#include <regex>

#include "library_fixture.h"

namespace kl::test {
namespace {

Bytes cursor_id(int n) {
    return {0xC0, 0x00, 0x00, static_cast<std::uint8_t>(n)};
}

// A version record as the server sends it.
Bytes version_record(const std::string& name, std::int32_t version, bool big_endian) {
    return join({text_bytes(name, 8), text_bytes("server side " + name, 60),
                 number_bytes(static_cast<std::uint32_t>(version), 4, big_endian),
                 text_bytes("v" + std::to_string(version), 32)});
}

struct ConversationTest : InstanceTest {
    kl_long open_cursor(int server_number) {
        answer(StatusRecord{}, cursor_id(server_number));
        klstatus st{};
        kl_long cursor = 0;
        EXPECT_EQ(klopencursor(instance, "", &st, &cursor), 0u) << st.error;
        return cursor;
    }
};

TEST_P(ConversationTest, CursorNumbersServerErrorsTheCloseTraceAndDisconnect) {
    for (int n : {1, 2, 3})
        EXPECT_EQ(open_cursor(n), n);
    klstatus st{};
    answer();
    ASSERT_EQ(klclosecursor(2, "", &st), 0u);
    EXPECT_EQ(open_cursor(7), 2); // the lowest free number again
    EXPECT_EQ(client_tables.cursors.find(2)->instance, instance);

    // A refused cursor leaves no number behind.
    kl_long cursor = -5;
    answer(StatusRecord{}.error(2001).text("no cursors left"), cursor_id(1));
    EXPECT_EQ(klopencursor(instance, "", &st, &cursor), 2001u);
    EXPECT_EQ(std::string(st.buffer), "no cursors left");
    EXPECT_EQ(cursor, -5);
    EXPECT_EQ(client_tables.cursors.used_count(), 3);
    // A close the server complains about still frees the number; its trace.
    TraceLog log;
    answer(StatusRecord{}.error(2002).text("closed"));
    EXPECT_EQ(klclosecursor(3, "KEEP", &st), 2002u);
    char me[16];
    std::snprintf(me, sizeof me, "%x", platform::thread_identity());
    EXPECT_EQ(log.text(),
              std::string("  *** Task taking control=") + me + "\n" +
                  "\nFunction: klclosecursor\n  Cursor=3\n  options=KEEP\n"
                  "KL status (returned)\n  error=2002\n  warn=0\n  info=0\n  count=0\n  bufflen=0\n"
                  "  instance=0\n  cursor=0\n  buffer=closed\n"
                  "  MakeStatus: wErrorCat=0x0, dwErrorCode=0x7d2"
                  "  SUBSYS_KELORA: wHighWord=x0, wLowWord=x7d2"
                  "  EXIT_DLL return status=0x7d2\n"
                  "  *** Task with control=0x0\n");
    EXPECT_EQ(klclosecursor(3, "", &st), KL_ERR_BAD_CURSOR);

    answer();
    EXPECT_EQ(kldisconnect(instance, "", &st), 0u);
    EXPECT_TRUE(peer.wait_for_disconnect());
    // Cursors outlive their instance's disconnect but fail without a connection.
    EXPECT_NE(client_tables.cursors.find(1), nullptr);
    EXPECT_EQ(klclosecursor(1, "", &st), KL_ERR_NOT_CONNECTED);
}

// Up to the maximum count, version records are read from as many answer
// records as they fill, 18 in each after a skipped status; one above it is
// malformed: nothing is read or written, the connection goes.
TEST_P(ConversationTest, VersionRecordsUpToTheMaximum) {
    constexpr int max = KL_VERSION_MAX_RECORDS;
    std::vector<Answer> answers = {reply(StatusRecord{}.count(max))};
    for (int first = 0; first < max; first += 18) {
        Bytes data = encode_status(StatusRecord{}.count(99), big());
        for (int i = first; i < std::min(first + 18, max); ++i)
            data = join({data, version_record("NA" + std::to_string(i), i - 2, big())});
        answers.push_back({.payload = data});
    }
    answer(answers);
    std::vector<klversion_record> records(max + 1);
    auto* const bytes = reinterpret_cast<std::uint8_t*>(records.data());
    const std::size_t size = records.size() * sizeof(klversion_record);
    std::memset(bytes, 0x5A, size);
    klstatus st{};
    ASSERT_EQ(klversion(instance, "", &st, "PROD", 0, records.data()), 0u);
    EXPECT_EQ(st.count, max);
    for (int i = 0; i < max; ++i) {
        EXPECT_EQ(std::string(records[i].na_name), "NA" + std::to_string(i));
        EXPECT_EQ(records[i].version, i - 2);
    }
    EXPECT_EQ(std::string(records[max - 1].description), "server side NA1023");
    EXPECT_EQ(std::string(records[max - 1].version_text), "v1021");
    EXPECT_EQ(records[max].version, 0x5A5A5A5A); // nothing past the count

    // One more announced (the peer sends 18 records and closes): none is read.
    peer.script({{.answers = {reply(StatusRecord{}.count(max + 1)), answers[1]},
                  .fault = Fault::close_mid_answer,
                  .close_after = 100 + 8 + answers[1].payload.size()}});
    std::memset(bytes, 0x5A, size);
    EXPECT_EQ(klversion(instance, "", &st, "PROD", 0, records.data()), KL_ERR_SOCKET);
    EXPECT_EQ(st.info, 0);
    EXPECT_EQ(st.count, 0);
    EXPECT_EQ(std::count(bytes, bytes + size, 0x5A), static_cast<std::ptrdiff_t>(size));
    EXPECT_TRUE(peer.wait_for_disconnect());
    kl_long cursor = 0;
    EXPECT_EQ(klopencursor(instance, "", &st, &cursor), KL_ERR_NOT_CONNECTED);
}

TEST_F(LibraryTest, TracingStartsOnceFromTheProfileOrTheOption) {
    const std::string log = (dir / "connect.log").string();
    const std::string option_log = (dir / "option.log").string();
    const std::string env = write_environment();
    script_connect(false);
    connect(env, ("TRACE=" + log + ",R").c_str());
    script_connect(false);
    connect(env, ("TRACE=" + option_log).c_str());
    const std::string text = read_file(log);
    // The date in the fixed English layout, whatever the locale.
    const std::regex banner(
        R"(^\*{42} (Sun|Mon|Tue|Wed|Thu|Fri|Sat) )"
        R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
        R"(\d\d \d\d:\d\d:\d\d \d{4}\nVESK DLL Version:   1\.6\.25\n\nFunction: klconnect\n)");
    EXPECT_TRUE(std::regex_search(text, banner)) << text;
    EXPECT_EQ(text.find("\n*****"), std::string::npos); // one banner only
    EXPECT_NE(text.find("  host options=R\n"), std::string::npos);
    EXPECT_NE(text.find("  instance server=1144201745, client=2\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(option_log));

    // talvern.ini's log wins over the option's.
    reset_process_state();
    const std::string from_profile = (dir / "from_profile.log").string();
    write_file("talvern.ini", "[debug]\ntrace=" + from_profile + "\n");
    script_connect(false);
    connect(env, ("TRACE=" + option_log).c_str());
    EXPECT_TRUE(std::filesystem::exists(from_profile));
    EXPECT_FALSE(std::filesystem::exists(option_log));

    // A log that cannot be opened refuses the connect; tracing stays off.
    reset_process_state();
    std::filesystem::remove(dir / "talvern.ini");
    const std::string bad = (dir / "no" / "such" / "dir.log").string();
    klstatus st{};
    kl_long instance = 0;
    EXPECT_EQ(klconnect(env.c_str(), ("TRACE=" + bad).c_str(), &st, "u", "", &instance),
              KL_ERR_LOG_OPEN);
    EXPECT_EQ(std::string(st.buffer), bad.substr(0, 35));
    EXPECT_EQ(trace_state.debug_flag, 0);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ConversationTest, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

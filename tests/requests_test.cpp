// The request of every call that sends one record, byte for byte, in both
// byte orders, with its length word; then external routines and commands:
// header and input records, and hostile output records.

#include <algorithm>
#include <functional>

#include "library_fixture.h"

namespace kl::test {
namespace {

#define CALL(expression) [&](klstatus& st) -> std::uint32_t { return expression; }

using RequestTest = CursorTest;

Bytes texts(std::initializer_list<std::string> list) {
    Bytes out;
    for (const std::string& t : list)
        out = join({out, text_bytes(t)});
    return out;
}

TEST_P(RequestTest, EachCallsRequestBytes) {
    const Bytes new_cursor = {9, 8, 7, 6};
    const Bytes values = counting_bytes(64, 1);
    std::vector<char> out(4096);
    klversion_record records[1];
    kl_long opened = 0;
    struct Case {
        const char* name;
        std::function<std::uint32_t(klstatus&)> call;
        Bytes expected;
        std::vector<Answer> answers; // none given: a plain status
        bool answered = true;
    };
    const Case cases[] = {
        {"open cursor: options cut at the semicolon",
         CALL(klopencursor(instance, "READONLY;tail", &st, &opened)),
         join({num(303, 2), instance_id, text_bytes("READONLY", 80)}),
         {reply({}, new_cursor)}},
        {"close cursor", CALL(klclosecursor(opened, "", &st)),
         join({num(304, 2), new_cursor, text_bytes("", 80)})},
        {"version", CALL(klversion(instance, "V", &st, "prod", 0x01020304, records)),
         join({num(327, 2), instance_id, num(0x01020304), text_bytes("V", 80)})},
        {"qualify packs five texts, options whole",
         CALL(klqualify(cursor, "o;p", &st, "own", "tab", "col", "c=1")),
         join({head(305), texts({"own", "tab", "col", "o;p", "c=1"})})},
        {"select with null texts sends lone terminators",
         CALL(klselect(cursor, nullptr, &st, nullptr, "", nullptr)), join({head(307), Bytes(4, 0)})},
        {"fetch cuts its options at a semicolon outside quotes",
         CALL(klfetch(cursor, "a';'\"x;\";cut", &st, -0x10203, out.data())),
         join({head(308), num(static_cast<std::uint32_t>(-0x10203)), text_bytes("a';'\"x;\"", 80)}),
         {},
         false},
        {"fetch keys", CALL(klfetchkeys(cursor, "K", &st, 7, out.data())),
         join({head(306), num(7), text_bytes("K", 80)})},
        {"update: texts in 256 bytes, the row at its length",
         [&](klstatus& st) {
             block().record_length = 5;
             return klupdate(cursor, "OPT;x", &st, "T", "A,B", "abcdefgh");
         },
         join({head(315), text_bytes(std::string("T\0A,B\0OPT;x", 11), 256), text_bytes("abcde", 5)})},
        {"delete", CALL(kldelete(cursor, "", &st, "T")), join({head(316), texts({"T", ""})})},
        {"list", CALL(kllist(cursor, "O;p", &st, "T", "A", "A>1", 10, out.data())),
         join({head(318), num(10), texts({"T", "A", "A>1", "O;p"})}),
         {reply(StatusRecord{}.count(10).bufflen(4), Bytes(4, 1))}},
        {"form", CALL(klform(cursor, "F;g", &st, "T", "A,B", 0x01020304, out.data())),
         join({head(319), num(0x01020304), texts({"T", "A,B", "F;g"})})},
        {"join", CALL(kljoin(cursor, "o;p", &st, "ft", "fc", 0x7777, "tt", "tc")),
         join({head(309), texts({"ft", "fc", "tt", "tc", "o;p"})})},
        {"join303: the same bytes", CALL(kljoin303(cursor, "o;p", &st, "ft", "fc", "tt", "tc")),
         join({head(309), texts({"ft", "fc", "tt", "tc", "o;p"})})},
        {"join303 of five empty texts", CALL(kljoin303(cursor, "", &st, "", nullptr, "", "")),
         join({head(309), Bytes(5, 0)})},
        {"calc", CALL(klcalc(cursor, "x;y", &st, "t", "c", out.data())),
         join({head(323), texts({"t", "c", "x;y"})})},
        {"export: options whole in their field",
         CALL(klexport(cursor, "E;x", &st, "prod", "out.txt")),
         join({head(324), text_bytes("E;x", 80), text_bytes("out.txt")})},
        {"describe", CALL(kldescribe(cursor, "a='x;y';b", &st, 8, out.data())),
         join({head(310), num(8), text_bytes("a='x;y'", 80)})},
        {"bind of no columns", CALL(klbind(cursor, "K;rest", &st, 0, nullptr)),
         join({head(311), num(0), text_bytes("K", 80)})},
        {"assign values: value size times count behind the label",
         [&](klstatus& st) {
             block().value_size = 12;
             return klassignvalues(cursor, "O;x", &st, "LBL;zz", 3,
                                   reinterpret_cast<const char*>(values.data()));
         },
         join({head(312), num(3), text_bytes("O", 80), text_bytes("LBL", 8),
               Bytes(values.begin(), values.begin() + 36)})},
        {"assign values: the label cut at 8, a negative count sends none",
         CALL(klassignvalues(cursor, "", &st, "LABEL123X", -2,
                             reinterpret_cast<const char*>(values.data()))),
         join({head(312), num(static_cast<std::uint32_t>(-2)), text_bytes("", 80),
               text_bytes("LABEL123", 8)})},
        {"index info: options before the table",
         CALL(klgetindexinfo(instance, "O;1", &st, "ORDERS", out.data())),
         join({num(321, 2), instance_id, texts({"O;1", "ORDERS"})})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t at = sent();
        answer(c.answers.empty() && c.answered ? std::vector<Answer>{reply()} : c.answers);
        klstatus st{};
        EXPECT_EQ(c.call(st), 0u) << st.error;
        const Request r = request(at);
        EXPECT_EQ(to_hex(r.payload), to_hex(c.expected));
        EXPECT_EQ(r.length_word, c.expected.size());
    }
}

// A trace line shows no more of a caller's bytes than the call sends (they
// are not strings and need not end in a NUL), and kljoin303 traces as
// kljoin.
TEST_P(RequestTest, TraceLinesShowNoMoreThanIsSent) {
    TraceLog trace;
    klstatus st{};
    char out[4];
    block().record_length = 4;
    block().value_size = 3;
    peer.script({{{reply()}}, {{reply()}}, {}, {{reply()}}, {{reply()}}});
    ASSERT_EQ(klupdate(cursor, "", &st, "T", "", "rowXYZ"), 0u);
    ASSERT_EQ(klassignvalues(cursor, "", &st, "L", 1, "VWXY"), 0u);
    ASSERT_EQ(klexternal(instance, "", &st, 0, "L", "R", "abcdef", 2, out, 0), 0u);
    ASSERT_EQ(kljoin303(cursor, "o", &st, "ft", "fc", "tt", "tc"), 0u);
    const std::string text = trace.text();
    for (const char* line :
         {"  buffer=rowX\n  table_len=4\n  pcbuf.values=rowX\n  wbuffer_len=4\n", "  values=VWX\n",
          "  input=ab\n",
          "\nFunction: kljoin\n  cursor=1\n  options=o\n  from_table=ft\n  to_table=tt\n  "
          "from_column=fc\n  to_column=tc\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(text.find("kljoin303"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, RequestTest, ::testing::Bool(), byte_order_name);

struct ExternalTest : InstanceTest {
    // The header and input records are not answered; the last of them
    // gets the answers.
    void script_exchange(std::size_t requests, std::vector<Answer> answers) {
        std::vector<Step> steps(requests);
        steps.back().answers = std::move(answers);
        peer.script(std::move(steps));
    }

    // An output record: 92 leading bytes the library must not read as a
    // status, then data.
    Answer output_record(const Bytes& data) const {
        return {.payload = join({encode_status(StatusRecord{}.error(999).count(-1), big()), data})};
    }
};

TEST_P(ExternalTest, HeaderAndInputRecords) {
    char output[4] = {'k', 'e', 'e', 'p'};
    klstatus st{};
    script_exchange(2, {reply(StatusRecord{})});
    ASSERT_EQ(klexternal(instance, "O;p", &st, 77, "LIB", "ROUT", "abc", 3, output, 0), 0u);
    EXPECT_EQ(to_hex(request(0).payload),
              to_hex(join({num(326, 2), instance_id, num(3), num(0), text_bytes("O;p", 80),
                           text_bytes("LIB", 255), text_bytes("ROUT")})));
    EXPECT_EQ(to_hex(request(1).payload), "00 00 61 62 63");

    script_exchange(2, {reply(StatusRecord{}.error(4100).text("no command"))});
    EXPECT_EQ(klcommand(instance, "C;d", &st, 0, "xy", 2, output, 4), 4100u);
    EXPECT_EQ(std::string(st.buffer), "no command");
    EXPECT_EQ(to_hex(request(2).payload),
              to_hex(join({num(325, 2), instance_id, num(2), text_bytes("C;d")})));
    EXPECT_EQ(to_hex(request(3).payload), "00 00 78 79");
    EXPECT_EQ(std::string(output, 4), "keep");
}

// Output records copy only what arrived, at most 1955 bytes each (the rest
// is passed over, keeping later reads in step), and never touch the
// status; a server error after the input reads none.
TEST_P(ExternalTest, HostileOutputRecords) {
    const Bytes over_long = counting_bytes(3000, 3);
    script_exchange(1, {reply(StatusRecord{}), output_record(counting_bytes(100, 5)),
                        output_record(over_long), output_record(counting_bytes(90, 4))});
    Bytes output(4001, 0xEE);
    klstatus st{};
    ASSERT_EQ(klexternal(instance, "", &st, 0, "L", "R", "", 0,
                         reinterpret_cast<char*>(output.data()), 4000),
              0u);
    EXPECT_EQ(st.error, 0);
    EXPECT_EQ(st.count, 0);
    EXPECT_EQ(to_hex(output), to_hex(join({counting_bytes(100, 5),
                                           Bytes(1855, 0xEE),
                                           Bytes(over_long.begin(), over_long.begin() + 1955),
                                           counting_bytes(90, 4),
                                           {0xEE}})));

    Bytes untouched(100, 0xEE);
    script_exchange(1, {reply(StatusRecord{}.error(5000))});
    EXPECT_EQ(klexternal(instance, "", &st, 0, "L", "R", "", 0,
                         reinterpret_cast<char*>(untouched.data()), 100),
              5000u);
    EXPECT_EQ(std::count(untouched.begin(), untouched.end(), 0xEE), 100);
    script_exchange(1, {reply(StatusRecord{}.text("in step"))});
    char out[1];
    EXPECT_EQ(klcommand(instance, "", &st, 0, "", 0, out, 0), 0u);
    EXPECT_EQ(std::string(st.buffer), "in step");
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ExternalTest, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

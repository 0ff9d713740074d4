// Join, calculate and export against the test peer: the exact request
// bytes in both byte orders, klcalc's result copy under answers that do
// not match their bufflen, klexport's checks in their order, and the
// refusals every cursor call makes before anything is sent.

#include <gtest/gtest.h>

#include <functional>

#include "library_fixture.h"
#include "trace_log.h"

namespace kl::test {
namespace {

using JoinCalcCalls = CursorTest;

Bytes texts(std::initializer_list<std::string> list) {
    Bytes out;
    for (const std::string& t : list)
        out = join({out, text_bytes(t)});
    return out;
}

TEST_P(JoinCalcCalls, JoinAndJoin303PutTheSameBytesOnTheWire) {
    klstatus st{};
    answer(StatusRecord{}.valuesize(40));
    ASSERT_EQ(kljoin(cursor, "o;p", &st, "ft", "fc", 0x7777, "tt", "tc"), 0u);
    EXPECT_EQ(block().qualify_size, 40);
    answer(StatusRecord{}.valuesize(41));
    ASSERT_EQ(kljoin303(cursor, "o;p", &st, "ft", "fc", "tt", "tc"), 0u);
    EXPECT_EQ(block().qualify_size, 41);
    const Bytes expected = join({head(309), texts({"ft", "fc", "tt", "tc", "o;p"})});
    EXPECT_EQ(to_hex(request(0).payload), to_hex(expected));
    EXPECT_EQ(to_hex(request(1).payload), to_hex(expected));

    // Five empty strings; a refused join keeps the qualify size.
    answer(StatusRecord{}.error(5100).valuesize(99));
    EXPECT_EQ(kljoin303(cursor, "", &st, "", nullptr, "", ""), 5100u);
    EXPECT_EQ(block().qualify_size, 41);
    EXPECT_EQ(request(2).length_word, 11u);
}

TEST_P(JoinCalcCalls, CalcCopiesTheResultBytesThatArrived) {
    const struct {
        const char* name;
        std::int32_t error;
        std::int32_t bufflen;
        Bytes data;
        std::int32_t copied; // and the bufflen the caller sees
    } cases[] = {
        {"result", 0, 5, text_bytes("ABCDEFG"), 5},
        {"with a server error", 4400, 3, text_bytes("XYZ"), 3},
        {"bufflen 0", 0, 0, text_bytes("QQ"), 0},
        {"bufflen beyond the bytes", 0, 5000, Bytes(10, 0x42), 10},
        {"answer longer than its area", 0, 1900, Bytes(2100, 0x43), 1860},
        {"negative bufflen", 0, -4, text_bytes("abc"), -4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        answer(StatusRecord{}.error(c.error).bufflen(c.bufflen), c.data);
        const std::size_t at = sent();
        Bytes result(2100, 0x5A);
        klstatus st{};
        EXPECT_EQ(klcalc(cursor, "x;y", &st, "t", "c", reinterpret_cast<char*>(result.data())),
                  static_cast<std::uint32_t>(c.error));
        EXPECT_EQ(st.bufflen, c.copied);
        const auto copied = static_cast<std::ptrdiff_t>(std::max(c.copied, 0));
        EXPECT_EQ(Bytes(result.begin(), result.begin() + copied),
                  Bytes(c.data.begin(), c.data.begin() + copied));
        EXPECT_EQ(Bytes(result.begin() + copied, result.end()),
                  Bytes(result.size() - static_cast<std::size_t>(copied), 0x5A));
        EXPECT_EQ(to_hex(request(at).payload), to_hex(join({head(323), texts({"t", "c", "x;y"})})));
    }
    answer();
    klstatus st{};
    char result[4];
    ASSERT_EQ(klcalc(cursor, "", &st, "", nullptr, result), 0u);
    EXPECT_EQ(request(std::size(cases)).length_word, 9u);
}

TEST_P(JoinCalcCalls, ExportSendsWholeOptionsAndTheFileName) {
    const std::string name254(254, 'f');
    const std::string options78 = std::string(76, 'o') + ";x";
    klstatus st{};
    answer();
    ASSERT_EQ(klexport(cursor, options78.c_str(), &st, "prod", name254.c_str()), 0u);
    EXPECT_EQ(request(0).length_word, 341u);
    EXPECT_EQ(to_hex(request(0).payload),
              to_hex(join({head(324), text_bytes(options78, 80), text_bytes(name254)})));
}

TEST_P(JoinCalcCalls, JoinTracesUnderOneNameForBothExports) {
    TraceLog log;
    answer();
    klstatus st{};
    ASSERT_EQ(kljoin303(cursor, "o", &st, "ft", "fc", "tt", "tc"), 0u);
    const std::string text = log.text();
    EXPECT_NE(text.find("\nFunction: kljoin\n  cursor=1\n  options=o\n  from_table=ft\n  "
                        "to_table=tt\n  from_column=fc\n  to_column=tc\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("kljoin303"), std::string::npos);
}

TEST_P(JoinCalcCalls, ExportChecksFileNameThenOptionsThenNode) {
    const std::string name254(254, 'f'), name255(255, 'f');
    const std::string options78(78, 'o'), options79(79, 'o');
    const std::string node40(40, 'n');
    const struct {
        const char* name;
        const char* node;
        const std::string& filename;
        const std::string& options;
        std::int32_t error;
        std::string buffer;
    } cases[] = {
        {"file name first", "PRO", name255, options79, 18021, "filename"},
        {"then options", "PRO", name254, options79, 18021, "options"},
        {"then a prefix of the node", "pro", name254, options78, 18015, "PRO"},
        {"a longer node", "PRODX", name254, options78, 18015, "PRODX"},
        {"an empty node", "", name254, options78, 18015, ""},
        {"a long node text", node40.c_str(), name254, options78, 18015, node40.substr(0, 35)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        klstatus st{};
        EXPECT_EQ(klexport(cursor, c.options.c_str(), &st, c.node, c.filename.c_str()),
                  static_cast<std::uint32_t>(c.error));
        EXPECT_EQ(std::string(st.buffer), c.buffer == "PRO" ? "pro" : c.buffer);
        EXPECT_EQ(st.info, 0);
    }
    EXPECT_EQ(sent(), 0u);

    // An empty node names only an empty stored name.
    client_tables.instances.find(instance)->node[0] = '\0';
    answer();
    klstatus st{};
    EXPECT_EQ(klexport(cursor, "", &st, "", "f"), 0u);
    EXPECT_EQ(request(0).length_word, 88u);
}

TEST_P(JoinCalcCalls, ExportRefusesACursorWhoseInstanceIsGone) {
    // A second instance keeps the shared connection open after the first
    // is disconnected; the first one's cursor stays in the table.
    script_connect(big());
    ASSERT_EQ(connect(write_environment()), 2);
    answer();
    klstatus st{};
    ASSERT_EQ(kldisconnect(instance, "", &st), 0u);
    klstatus refused{};
    EXPECT_EQ(klexport(cursor, "", &refused, "PROD", "f"), KL_ERR_BAD_INSTANCE);
    EXPECT_EQ(refused.info, instance);
    EXPECT_EQ(std::string(refused.buffer), "client instance");
    EXPECT_EQ(sent(), 2u);
}

TEST_P(JoinCalcCalls, CallsRefusedBeforeAnythingIsSent) {
    const std::string long_text(2033, 't'); // 2034 + 2 + 5 > 2038
    char area[8] = {};
    const auto values_of = [&](std::int32_t value_size, kl_long count, const char* values) {
        return [=, this](klstatus& st) {
            block().value_size = value_size;
            return klassignvalues(cursor, "", &st, "L", count, values);
        };
    };
    const struct {
        const char* name;
        std::function<std::uint32_t(klstatus&)> call;
        std::int32_t error;
        std::int32_t info;
        std::string buffer;
    } cases[] = {
        {"describe, bad cursor", [&](klstatus& st) { return kldescribe(99, "", &st, 1, area); },
         11042, 99, "client cursor"},
        {"export, bad cursor", [&](klstatus& st) { return klexport(2, "", &st, "PROD", "f"); },
         11042, 2, "client cursor"},
        {"describe into nothing",
         [&](klstatus& st) { return kldescribe(cursor, "", &st, 1, nullptr); }, 10036, 0,
         "descriptions"},
        {"bind from nothing", [&](klstatus& st) { return klbind(cursor, "", &st, 2, nullptr); },
         10036, 0, "descriptions"},
        {"calc into nothing",
         [&](klstatus& st) { return klcalc(cursor, "", &st, "t", "c", nullptr); }, 10036, 0,
         "result"},
        {"calc texts too long",
         [&](klstatus& st) { return klcalc(cursor, "opts", &st, long_text.c_str(), "c", area); },
         18021, 0, ""},
        {"values past the area", values_of(1951, 1, area), 18021, 0, "values"},
        {"values twice the area", values_of(1950, 2, area), 18021, 0, "values"},
        {"values of 64 KB", values_of(65536, 1, area), 18021, 0, "values"},
        {"values past 32 bits", values_of(0x40000000, 4, area), 18021, 0, "values"},
        {"values from nothing", values_of(4, 1, nullptr), 10036, 0, "values"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        klstatus st{};
        EXPECT_EQ(c.call(st), static_cast<std::uint32_t>(c.error));
        EXPECT_EQ(st.info, c.info);
        EXPECT_EQ(std::string(st.buffer), c.buffer);
    }
    EXPECT_EQ(sent(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, JoinCalcCalls, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

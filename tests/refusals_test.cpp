// Every check an exported call makes before it talks to the server, in one
// table: the error, info and text of each refusal, that nothing is sent, and
// for the limits the largest argument still sent.  Run with the trace on, so
// a trace line that read a missing block or argument would fail here too.

#include <deque>
#include <functional>

#include "library_fixture.h"

namespace kl::test {
namespace {

// A row's name is the call's own text.
#define CALL(expression) #expression, [&](klstatus & st) -> std::uint32_t { return expression; }

struct Check {
    const char* name;
    std::function<std::uint32_t(klstatus&)> call;
    std::int32_t error; // 0: sent, with length bytes after the length word
    std::int32_t info = 0;
    const char* buffer = ""; // null: not compared
    std::uint32_t length = 0;
};

struct RefusalTest : CursorTest {
    void run(const std::vector<Check>& checks) {
        for (const Check& c : checks) {
            SCOPED_TRACE(c.name);
            const std::size_t before = sent();
            // A request a refusal sends gets a close: the call fails, not waits.
            peer.script(
                {c.error == 0 ? Step{{reply()}} : Step{.fault = Fault::close_before_answer}});
            klstatus st{};
            EXPECT_EQ(c.call(st), static_cast<std::uint32_t>(c.error)) << st.buffer;
            peer.clear_script();
            EXPECT_EQ(st.info, c.info);
            EXPECT_STREQ(c.buffer ? st.buffer : nullptr, c.buffer);
            // A refusal sends nothing (and has length 0).
            EXPECT_EQ(c.error == 0 ? request(before).length_word : sent() - before, c.length);
        }
    }
};

TEST_P(RefusalTest, CallsRefusedBeforeTheServerIsAsked) {
    TraceLog trace;
    std::deque<std::string> texts; // the long arguments, alive while the rows run
    const auto text = [&](std::size_t n, char c) { return texts.emplace_back(n, c).c_str(); };
    const char *o78 = text(78, 'o'), *o79 = text(79, 'o'), *o255 = text(255, 'o');
    const char *o256 = text(256, 'o'), *o1000 = text(1000, 'o'), *node40 = text(40, 'n');
    const char *n254 = text(254, 'n'), *n255 = text(255, 'n'), *row = text(1786, 'r');
    const char *s2034 = text(2034, 's'), *s2035 = text(2035, 's'), *s2036 = text(2036, 's');
    const char *s2037 = text(2037, 's'), *t252 = text(252, 't'), *t253 = text(253, 't');
    const char *t254 = text(254, 't'), *t1036 = text(1036, 't'), *t1037 = text(1037, 't');
    const std::vector<char> values(16 * 32 + 1, 'q');
    char area[8] = {};
    kl_long out = -5;
    klversion_record records[2];
    const auto update = [&](std::int32_t row_length, std::string table, bool from_row = true) {
        return [&, row_length, table, from_row](klstatus& st) {
            block().record_length = row_length;
            return klupdate(cursor, "", &st, table.c_str(), "", from_row ? row : nullptr);
        };
    };
    const auto assign = [&](std::int32_t value_size, kl_long count, const char* from) {
        return [=, this](klstatus& st) {
            block().value_size = value_size;
            return klassignvalues(cursor, "", &st, "L", count, from);
        };
    };
    const auto getinfo = [&](std::vector<kl_long> q, std::vector<kl_long> b, std::string o) {
        return [&, q, b, o](klstatus& st) mutable {
            q.push_back(0);
            b.push_back(0);
            return klgetinfo(instance, o.c_str(), &st, q.data(), values.data(), b.data(), area);
        };
    };
    const std::vector<kl_long> q16(16, 202), q17(17, 202), b32(32, 305), b33(33, 305);
    // The length checks of delete, list and form come before their trace line.
    run({
        {CALL(kldelete(cursor, "", &st, s2037)), 18021, 0, nullptr},
        {CALL(kllist(cursor, "", &st, "T", s2036, "", 1, area)), 18021, 0, nullptr},
        {CALL(klform(cursor, "", &st, s2036, "", 1, area)), 18021, 0, nullptr},
    });
    EXPECT_EQ(trace.text().find("\nFunction: kl"), std::string::npos);
    run({
        // Instances and cursors.
        {CALL(klopencursor(0, "", &st, &out)), 11008},
        {CALL(klopencursor(2, "", &st, &out)), 11008, 2},
        {CALL(klopencursor(1, "", &st, nullptr)), 10036, 0, "cursor"},
        {CALL(klclosecursor(0, "", &st)), 11042},
        {CALL(klclosecursor(500, "", &st)), 11042, 500},
        {CALL(kldisconnect(7, "", &st)), 11008, 7},
        {CALL(klselect(0, "", &st, "", "", "")), 11042, 0, nullptr},
        {CALL(klqualify(-3, "", &st, "", "", "", "")), 11042, -3, nullptr},
        {CALL(klfetch(2, "", &st, 1, area)), 11042, 2, nullptr},
        {CALL(klfetchkeys(99, "", &st, 1, area)), 11042, 99, nullptr},
        {CALL(kllist(0, "", &st, "T", "", "", 1, area)), 11042, 0, nullptr},
        {CALL(klupdate(99, "", &st, "T", "", "row")), 11042, 99, "client cursor"},
        {CALL(kldescribe(99, "", &st, 1, area)), 11042, 99, "client cursor"},
        {CALL(klexport(2, "", &st, "PROD", "f")), 11042, 2, "client cursor"},
        {CALL(klcommand(5, "", &st, 0, "", 0, area, 0)), 11008, 5, nullptr},
        {CALL(klinsert(7, "", &st, "T", "", area)), 11008, 7, "client instance"},
        {CALL(klversion(3, "", &st, "prod", 0, records)), 11008, 3, "client instance"},

        // Missing arguments.
        {CALL(klfetch(1, "", &st, 1, nullptr)), 10036, 0, "records"},
        {CALL(klfetchkeys(1, "", &st, 1, nullptr)), 10036, 0, "keys"},
        {CALL(kllist(cursor, "", &st, "T", "", "", 1, nullptr)), 10036, 0, "buffer"},
        {CALL(klform(cursor, "", &st, "T", "", 0, nullptr)), 10036, 0, "buffer"},
        {"update from nothing", update(4, "T", false), 10036, 0, "buffer"},
        {CALL(kldescribe(cursor, "", &st, 1, nullptr)), 10036, 0, "descriptions"},
        {CALL(klbind(cursor, "", &st, 2, nullptr)), 10036, 0, "descriptions"},
        {CALL(klcalc(cursor, "", &st, "t", "c", nullptr)), 10036, 0, "result"},
        {"values from nothing", assign(4, 1, nullptr), 10036, 0, "values"},
        {CALL(klversion(instance, "", &st, nullptr, 0, records)), 10036, 0, "node name"},
        {CALL(klversion(instance, nullptr, &st, "prod", 0, records)), 10036, 0, "option list"},
        {CALL(klexternal(instance, "", &st, 0, "L", nullptr, nullptr, 0, area, 0)), 10036, 0,
         "routine"},
        {CALL(klexternal(instance, "", &st, 0, "L", "R", "", 0, nullptr, 0)), 10036, 0, "out"},
        {CALL(klcommand(instance, nullptr, &st, 0, nullptr, 0, area, 0)), 10036, 0, "options"},

        // Lengths and counts.
        {CALL(klexternal(instance, "", &st, 0, "L", "R", "", -3, area, 0)), 5541, -3, "in_length"},
        {CALL(klexternal(instance, "", &st, 0, "L", "R", "", 0, area, -4)), 5541, -4, "out_length"},
        {CALL(klcommand(instance, "", &st, 0, "", -1, area, 0)), 5541, -1, "input_length"},
        {CALL(klcommand(instance, "", &st, 0, "", 0, area, -2)), 5541, -2, "output_length"},
        {CALL(klselect(1, "", &st, s2034, "", "")), 0, 0, "", 2044},
        {CALL(klselect(1, "", &st, s2035, "", "")), 18021, 0, nullptr},
        {CALL(klqualify(1, s2035, &st, "", "", "", "")), 18021, 0, nullptr},
        {CALL(kldelete(cursor, "", &st, s2036)), 0, 0, "", 2044},
        {CALL(klcalc(cursor, "opts", &st, s2035, "c", area)), 18021, 0, ""},
        {CALL(klgetindexinfo(instance, o1000, &st, t1036, area)), 0, 0, "", 2044},
        {CALL(klgetindexinfo(instance, o1000, &st, t1037, area)), 18021, 0, nullptr},
        {"update texts fill the area", update(0, t253), 0, 0, "", 262},
        {"update texts one over", update(0, t254), 18021},
        {"update row fills the record", update(1786, "T"), 0, 0, "", 262 + 1786},
        {"update row one over", update(1787, "T"), 18021},
        {"update of a negative row length", update(-1, "T"), 18021},
        {"update of 2038 bytes", update(1786, t252), 0, 0, "", 262 + 1786},
        {"update of 2039 bytes", update(1786, t253), 18021},
        {"values fill the area", assign(1950, 1, s2034), 0, 0, "", 98 + 1950},
        {"values past the area", assign(1951, 1, area), 18021, 0, "values"},
        {"values twice the area", assign(1950, 2, area), 18021, 0, "values"},
        {"values of 64 KB", assign(65536, 1, area), 18021, 0, "values"},
        {"values past 32 bits", assign(0x40000000, 4, area), 18021, 0, "values"},
        {CALL(klversion(instance, o78, &st, "pRoD", 0, records)), 0, 0, "", 90},
        {CALL(klversion(instance, o79, &st, "prod", 0, records)), 18021, 0, "options"},
        {CALL(klexternal(instance, o78, &st, 0, n254, n254, "", 0, area, 0)), 0, 0, "", 350 + 254},
        {CALL(klexternal(instance, o79, &st, 0, "L", "R", "", 0, area, 0)), 18021, 0, "options"},
        {CALL(klexternal(instance, "", &st, 0, n255, "R", "", 0, area, 0)), 18021, 0, "library"},
        {CALL(klexternal(instance, "", &st, 0, "L", n255, "", 0, area, 0)), 18021, 0, "routine"},
        {"get info without items", getinfo({}, {}, ""), 0, 0, "", 462},
        {"get info at every limit", getinfo(q16, b32, o255), 0, 0, "", 974},
        {"get info, 17 qualifiers", getinfo(q17, {}, ""), 18021, 0, nullptr},
        {"get info, 33 buffer items", getinfo({202}, b33, ""), 18021, 0, nullptr},
        {"get info, values past 512 bytes", getinfo({109, 109, 202}, {}, ""), 18021, 0, nullptr},
        {"get info, unknown qualifier", getinfo({202, 7}, {}, ""), 18032, 0, nullptr},
        {"get info, 256 option characters", getinfo({}, {}, o256), 18021, 0, nullptr},
        {CALL(klinsert(instance, o256, &st, "T", "", area)), 10037, 256, "options"},
        {CALL(klinsert(instance, "CHAR=1", &st, "T", "", area)), 18006, 0,
         "value not allowed CHAR"},
        {CALL(klinsert(instance, "nowait FAST", &st, "T", "", area)), 18006, 0,
         "unknown keyword FAST"},
        {CALL(klinsert(instance, "", &st, text(33, 't'), "", area)), 18021, 0, "table"},

        // Export: the file name, then the options, then the node.
        {CALL(klexport(cursor, o79, &st, "pro", n255)), 18021, 0, "filename"},
        {CALL(klexport(cursor, o79, &st, "pro", n254)), 18021, 0, "options"},
        {CALL(klexport(cursor, o78, &st, "pro", "f")), 18015, 0, "pro"},
        {CALL(klexport(cursor, "", &st, "PRODX", "f")), 18015, 0, "PRODX"},
        {CALL(klexport(cursor, "", &st, "", "f")), 18015, 0, ""},
        {CALL(klexport(cursor, "", &st, node40, "f")), 18015, 0, std::string(node40, 35).c_str()},
        {CALL(klexport(cursor, o78, &st, "prod", n254)), 0, 0, "", 341},
        {CALL(klversion(instance, "", &st, "PRO", 0, records)), 18015, 0, "PRO"},
    });
    EXPECT_EQ(out, -5);

    // An empty node names only an empty stored name.
    client_tables.instances.find(instance)->node[0] = '\0';
    run({{CALL(klexport(cursor, "", &st, "", "f")), 0, 0, "", 88}});

    // Without a connection; the cursor (update) or instance (version) is
    // checked first by some calls.
    transport_state.connected_flag = 0;
    run({
        {CALL(klupdate(99, "", &st, "T", "", "row")), 11042, 99, nullptr},
        {CALL(klversion(9, "", &st, "prod", 0, records)), 11008, 9, nullptr},
        {CALL(kldelete(99, "", &st, "T")), 18011, 0, nullptr},
        {CALL(klopencursor(1, "", &st, &out)), 18011, 0, nullptr},
        {CALL(klclosecursor(0, "", &st)), 18011, 0, nullptr},
        {CALL(kldisconnect(0, "", &st)), 18011, 0, nullptr},
        {CALL(klfetch(1, "", &st, 1, area)), 18011, 0, nullptr},
        {CALL(klform(cursor, "", &st, "T", "", 0, area)), 18011, 0, nullptr},
        {CALL(klcommand(instance, "", &st, 0, "", 0, area, 0)), 18011, 0, nullptr},
    });
}

// A cursor whose instance was disconnected while a second instance keeps
// the shared connection open.
TEST_P(RefusalTest, ACursorWhoseInstanceIsGone) {
    script_connect(big());
    ASSERT_EQ(connect(write_environment()), 2);
    answer();
    klstatus gone{};
    ASSERT_EQ(kldisconnect(instance, "", &gone), 0u);
    run({{CALL(klexport(cursor, "", &st, "PROD", "f")), KL_ERR_BAD_INSTANCE, 1,
          "client instance"}});
}

INSTANTIATE_TEST_SUITE_P(LittleEndian, RefusalTest, ::testing::Values(false), byte_order_name);

} // namespace
} // namespace kl::test

// klinsert against the test peer, in both byte orders: row-length
// discovery through nested catalogue queries and its cache, the owner word
// kept through those queries, and catalogue answers that describe rows no
// request can carry.

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "library_fixture.h"

namespace kl::test {
namespace {

struct Column {
    std::int32_t type, length, occurrences;
};

struct InsertTest : InstanceTest {
    Bytes descriptors(const std::vector<Column>& columns) const {
        Bytes out;
        for (const Column& c : columns)
            out = join({out, num(c.type), num(c.length), num(c.occurrences)});
        return out;
    }
    Step columns_answer(const std::vector<Column>& columns) const {
        return {{reply(StatusRecord{}.count(static_cast<std::int32_t>(columns.size())),
                       descriptors(columns))}};
    }
    Step end_answer() const { return {{reply(StatusRecord{}.error(11257))}}; }

    // The catalogue query for a table's columns.
    Bytes query(const std::string& table, const std::string& options) const {
        Bytes name(32, ' '), all(32, ' ');
        std::copy(table.begin(), table.end(), name.begin());
        all[0] = '*';
        return join({num(320, 2), instance_id, num(202), num(302), Bytes(4 * 15, 0), num(305),
                     num(306), num(310), Bytes(4 * 30, 0), text_bytes(options, 256), name, all});
    }

    ClientInstance& block() const { return *client_tables.instances.find(1); }
};

Bytes row_of(std::size_t length) {
    Bytes row(length);
    for (std::size_t i = 0; i < length; ++i)
        row[i] = static_cast<std::uint8_t>(i * 7);
    return row;
}

const char* chars(const Bytes& bytes) {
    return reinterpret_cast<const char*>(bytes.data());
}

TEST_P(InsertTest, RowLengthDiscoveryAndCache) {
    // 100 columns fill the first answer, so the query goes on with the
    // continuation text; the three columns of the second answer end it.
    std::vector<Column> first(90, Column{201, 2, 1});
    first.insert(first.end(), 10, Column{7, 4, 2});
    peer.script({columns_answer(first), columns_answer({{1300, 5, 1}, {100, 3, 2}, {9, 8, 1}})});
    const int binary = 90 * 2 + 10 * 8 + 5 + 6 + 8;
    const int character = 90 * 2 + 10 * 64 + 5 + 6 + 32;
    const Bytes row = row_of(1000);
    answer();
    klstatus st{};
    ASSERT_EQ(klinsert(instance, "SKIPIA, nowait", &st, "Orders", "A,B", chars(row)), 0u)
        << st.error << " " << st.buffer;
    EXPECT_EQ(to_hex(request(0).payload), to_hex(query("Orders", "  COUNT=100")));
    EXPECT_EQ(to_hex(request(1).payload), to_hex(query("Orders", "N COUNT=100")));
    const Bytes texts =
        join({text_bytes("Orders"), text_bytes("A,B"), text_bytes("SKIPIA, nowait")});
    EXPECT_EQ(to_hex(request(2).payload),
              to_hex(join({num(314, 2), instance_id, texts, Bytes(256 - texts.size(), 0),
                           Bytes(row.begin(), row.begin() + binary)})));
    EXPECT_EQ(block().binary_row_length, binary);
    EXPECT_EQ(block().char_row_length, character);
    EXPECT_EQ(std::string(block().insert_table), "Orders");

    // The same table in another letter case, character form: no query.
    answer(StatusRecord{}.error(707));
    EXPECT_EQ(klinsert(instance, "char Hook", &st, "ORDERS", "", chars(row)), 707u);
    const Request insert = request(3);
    EXPECT_EQ(insert.length_word, 262u + character);
    EXPECT_EQ(insert.payload[0], big() ? 0x01 : 0x3A);
    EXPECT_EQ(sent(), 4u);
}

// The trace line shows no more of the caller's row than the row length
// cached for its table (none for a table not cached yet): a row is not a
// string and need not end in a NUL.
TEST_P(InsertTest, TraceReadsOnlyTheKnownRow) {
    TraceLog log;
    block().binary_row_length = 3;
    block().char_row_length = 5;
    copy_text(block().insert_table, "T");
    const char row[4] = {'A', 'B', 'C', 'D'};
    answer();
    peer.script({end_answer()});
    answer();
    klstatus st{};
    ASSERT_EQ(klinsert(instance, "", &st, "t", "", row), 0u);
    ASSERT_EQ(klinsert(instance, "", &st, "other", "", row), 0u);
    const std::string text = log.text();
    EXPECT_NE(text.find("  values=ABC\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  values=\n"), std::string::npos) << text;
}

TEST_P(InsertTest, EndOfCatalogueAtOnceAndTheOwnerHandOver) {
    const std::string log = (dir / "insert.log").string();
    set_log_file(log.c_str());
    trace_state.debug_flag = 1;
    peer.script({end_answer(), {{reply()}}});
    klstatus st{};
    ASSERT_EQ(klinsert(instance, "", &st, "EMPTY", "", nullptr), 0u);
    EXPECT_EQ(request(1).length_word, 262u);
    EXPECT_EQ(block().binary_row_length, 0);
    EXPECT_EQ(std::string(block().insert_table), "EMPTY");

    // The nested query traces as a call of its own: the word handed over
    // and taken, the query, its exit, the word handed back and taken (the
    // insert keeps it all along).
    char me[16];
    std::snprintf(me, sizeof me, "%x", platform::thread_identity());
    const std::string taking = std::string("  *** Task taking control=") + me + "\n";
    const std::string text = read_file(log);
    std::size_t at = 0;
    const std::vector<std::string> lines = {"\nFunction: klinsert\n",
                                            "  *** Task with control=0x0\n",
                                            taking,
                                            "\nFunction: klgetinfo\n",
                                            "  EXIT_DLL return status=0x2bf9\n",
                                            "  *** Task with control=0x0\n",
                                            taking,
                                            "  table row length=0\n"};
    for (const std::string& line : lines) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in\n" << text;
        at += line.size();
    }
}

TEST_P(InsertTest, FailedCatalogueQueryCachesNothing) {
    answer(StatusRecord{}.error(2001).warn(7).info(9));
    klstatus st{};
    EXPECT_EQ(klinsert(instance, "", &st, "T", "", nullptr), 2001u);
    EXPECT_EQ(st.warn, 7);
    EXPECT_EQ(st.info, 9);
    EXPECT_EQ(std::string(st.buffer), "klgetinfo");
    EXPECT_EQ(block().insert_table[0], '\0');
    EXPECT_EQ(sent(), 1u);
}

TEST_P(InsertTest, ChecksBeforeTheInsertIsSent) {
    const Bytes row = row_of(2048);
    std::vector<Step> never_ending(21, columns_answer(std::vector<Column>(100, Column{5, 0, 1})));
    struct Case {
        const char* name;
        std::vector<Step> catalogue;
        std::string options, table, columns;
        std::int32_t error;    // 0: the insert is sent
        std::uint32_t row = 0; // row bytes sent
    };
    const std::string c253(253, 'c'), t32(32, 't');
    const Case cases[] = {
        {"table name of 32 characters", {end_answer()}, "", t32, "", 0},
        {"texts filling the 256-byte area", {end_answer()}, "", "T", c253.substr(1), 0},
        {"texts beyond the 256-byte area", {end_answer()}, "", "T", c253, 18021},
        {"record of 2048 bytes", {columns_answer({{5, 1786, 1}})}, "", "T", "", 0, 1786},
        {"record beyond 2048 bytes", {columns_answer({{5, 1787, 1}})}, "", "T", "", 18021},
        {"character row that fits, binary row that does not",
         {columns_answer({{7, 2034, 1}})},
         "CHAR",
         "T",
         "",
         18021},
        {"negative column length", {columns_answer({{5, -5, 1}})}, "", "T", "", 18021},
        {"more columns than asked for",
         {columns_answer(std::vector<Column>(155, Column{5, 1, 1})), end_answer()},
         "",
         "T",
         "",
         0,
         100},
        {"a catalogue that never ends", never_ending, "", "T", "", 18021},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        block().insert_table[0] = '\0';
        const std::size_t before = sent();
        peer.script(c.catalogue);
        if (c.error == 0) answer();
        klstatus st{};
        EXPECT_EQ(klinsert(instance, c.options.c_str(), &st, c.table.c_str(), c.columns.c_str(),
                           chars(row)),
                  static_cast<std::uint32_t>(c.error))
            << st.buffer;
        EXPECT_EQ(st.info, 0);
        EXPECT_EQ(std::string(st.buffer), "");
        const std::size_t queries = c.catalogue.size();
        if (c.error == 0) {
            EXPECT_EQ(request(before + queries).length_word, 262u + c.row);
        } else {
            EXPECT_EQ(sent(), before + queries);
        }
    }
}

// The insert keeps the owner word while it asks the catalogue: with the
// catalogue answer held, another thread's call is refused (one the library
// answers itself, so a call let in would still end).  Nor does the insert
// hand the word over after the query to take it back: this thread sets it
// as a call of another thread would take it in such a moment, and the
// insert still completes, leaving the word alone at its exit.
TEST_P(InsertTest, OwnerWordKeptThroughDiscovery) {
    Step held = columns_answer({{5, 6, 1}});
    held.fault = Fault::hold_then_answer;
    peer.script({held, {{reply()}}});
    const Bytes row = row_of(6);
    auto insert = std::async(std::launch::async, [&] {
        klstatus st{};
        return klinsert(instance, "", &st, "T", "", chars(row));
    });
    ASSERT_TRUE(peer.wait_for_requests(setup_requests + 1));
    auto other = std::async(std::launch::async, [] {
        klstatus st{};
        klversion_record own;
        return klversion(0, "", &st, "", 0, &own);
    });
    EXPECT_EQ(other.get(), KL_ERR_CALL_IN_PROGRESS);
    const std::uint32_t me = platform::thread_identity();
    owner_word = me;
    peer.release_held();
    ASSERT_EQ(insert.get(), 0u);
    EXPECT_EQ(request(1).length_word, 262u + 6);
    EXPECT_EQ(owner_word.load(), me);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, InsertTest, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

// klgetinfo, klgetindexinfo and klinsert in both byte orders: requests,
// local answers, over-long answers, and klinsert's row-length discovery
// through nested catalogue queries (cache, owner word, impossible rows).

#include <future>

#include "library_fixture.h"

namespace kl::test {
namespace {

using CatalogueTest = InstanceTest;

Bytes blanks(const std::string& text, std::size_t size) {
    Bytes out(size, ' ');
    std::copy(text.begin(), text.end(), out.begin());
    return out;
}

const char* chars(const Bytes& bytes) {
    return reinterpret_cast<const char*>(bytes.data());
}

TEST_P(CatalogueTest, GetInfoRequestAndAnswer) {
    // One value of each size; the 4-byte one is a number in client order.
    const Bytes values = join({blanks("ORDERS", 32), Bytes(255, 'x'), Bytes(131, 'y'),
                               number_bytes(0x01020304, 4, false)});
    const kl_long qualifier_items[] = {202, 109, 630, 405, 0};
    const kl_long buffer_items[] = {305, 306, 310, 0};

    answer(StatusRecord{}.count(2), Bytes{'A', 'B', 'C', 'D'});
    std::vector<char> buffer(16, '#');
    klstatus st{};
    ASSERT_EQ(klgetinfo(instance, "COUNT=5;X", &st, qualifier_items, chars(values), buffer_items,
                        buffer.data()),
              0u);
    EXPECT_EQ(st.count, 2);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "ABCD#");

    const Request sent = request(0);
    EXPECT_EQ(sent.length_word, 462u + 32 + 255 + 131 + 4);
    EXPECT_EQ(to_hex(sent.payload),
              to_hex(join({num(320, 2), instance_id, num(202), num(109), num(630), num(405),
                           Bytes(4 * 13, 0), num(305), num(306), num(310), Bytes(4 * 30, 0),
                           text_bytes("COUNT=5;X", 256), Bytes(values.begin(), values.end() - 4),
                           num(0x01020304)})));
}

TEST_P(CatalogueTest, LocalAnswers) {
    const Bytes cursor_id = {0xC0, 0x00, 0x00, 0x07};
    const Bytes order = number_bytes(big(), 4, false);
    auto cursor = new_block<kl_cursor_t>();
    std::copy(cursor_id.begin(), cursor_id.end(), cursor->server_cursor.bytes);
    std::int32_t slot = 0;
    ASSERT_EQ(client_tables.cursors.add(cursor, slot), 0);

    // A number in client order followed by a text.
    auto numbered = [](std::int32_t n, const std::string& text) {
        return join({number_bytes(static_cast<std::uint32_t>(n), 4, false), text_bytes(text)});
    };
    struct Case {
        const char* name;
        std::vector<kl_long> qualifier_items; // ending in 0
        Bytes qualifiers;
        kl_long buffer_item;
        std::int32_t error;
        std::int32_t info;
        std::string status_text;
        Bytes answer; // the bytes written to the caller's buffer
    };
    const Case cases[] = {
        {"instance identifier", {1, 1102, 0}, numbered(1, "prod rest"), 0, 0, 0, "", instance_id},
        {"cursor identifier", {801, 1102, 0}, numbered(slot, "PROD x"), 0, 0, 0, "", cursor_id},
        {"node name", {1102, 0}, {}, 1102, 0, 0, "", blanks("PROD", 32)},
        {"byte order", {1102, 0}, text_bytes("Prod "), 1099, 0, 0, "", order},
        {"unknown instance", {1, 1102, 0}, numbered(5, "PROD x"), 0, 11008, 1, "", {}},
        {"unknown cursor", {801, 1102, 0}, numbered(9, "PROD x"), 0, 11042, 1, "", {}},
        {"no item 1102", {1, 302, 0}, numbered(1, "PROD x"), 0, 10088, 0, "", {}},
        {"node name cut short", {1, 1102, 0}, numbered(1, "PRO x"), 0, 18015, 0, "PRO x", {}},
        {"byte order of another node", {1102, 0}, text_bytes("TEST "), 1099, 18015, 0, "TEST ", {}},
        {"node with another buffer item", {1102, 0}, {}, 305, 18032, 0, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const kl_long b[] = {c.buffer_item, 0};
        Bytes buffer(40, '#');
        klstatus st{};
        st.warn = 3;
        EXPECT_EQ(klgetinfo(instance, "", &st, c.qualifier_items.data(), chars(c.qualifiers), b,
                            reinterpret_cast<char*>(buffer.data())),
                  static_cast<std::uint32_t>(c.error));
        EXPECT_EQ(st.warn, 0);
        EXPECT_EQ(st.info, c.info);
        EXPECT_EQ(std::string(st.buffer), c.status_text);
        Bytes expected = c.answer;
        expected.resize(40, '#');
        EXPECT_EQ(to_hex(buffer), to_hex(expected));
    }
    EXPECT_EQ(sent(), 0u);
}

TEST_P(CatalogueTest, AnswersLongerThanTheAnswerAreaStayInStep) {
    // Data beyond the 1860 bytes an answer can hand on are dropped; the
    // caller's buffer receives no more, and the next call is in step.
    const kl_long items[] = {0};
    for (bool index : {false, true}) {
        answer(StatusRecord{}, Bytes(2100, 'd'));
        std::vector<char> buffer(2200, '#');
        klstatus st{};
        ASSERT_EQ(index ? klgetindexinfo(instance, "", &st, "T", buffer.data())
                        : klgetinfo(instance, "", &st, items, nullptr, items, buffer.data()),
                  0u);
        EXPECT_EQ(buffer[1859], 'd');
        EXPECT_EQ(buffer[1860], '#');
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, CatalogueTest, ::testing::Bool(), byte_order_name);

struct Column {
    std::int32_t type, length, occurrences;
};

struct InsertTest : InstanceTest {
    Step columns_answer(const std::vector<Column>& columns) const {
        Bytes out;
        for (const Column& c : columns)
            out = join({out, num(c.type), num(c.length), num(c.occurrences)});
        return {{reply(StatusRecord{}.count(static_cast<std::int32_t>(columns.size())), out)}};
    }
    Step end_answer() const { return {{reply(StatusRecord{}.error(11257))}}; }

    // The catalogue query for a table's columns.
    Bytes query(const std::string& table, const std::string& options) const {
        return join({num(320, 2), instance_id, num(202), num(302), Bytes(4 * 15, 0), num(305),
                     num(306), num(310), Bytes(4 * 30, 0), text_bytes(options, 256),
                     blanks(table, 32), blanks("*", 32)});
    }

    ClientInstance& block() const { return *client_tables.instances.find(1); }
};

Bytes row_of(std::size_t length) {
    Bytes row(length);
    for (std::size_t i = 0; i < length; ++i)
        row[i] = static_cast<std::uint8_t>(i * 7);
    return row;
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
    EXPECT_EQ(to_hex(request(2).payload),
              to_hex(join({num(314, 2), instance_id,
                           text_bytes(std::string("Orders\0A,B\0SKIPIA, nowait", 25), 256),
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
// cached for its table (none for another table): a row is not a string and
// need not end in a NUL.  A catalogue that ends at once gives a row of none.
TEST_P(InsertTest, TraceAndACatalogueEndingAtOnce) {
    using namespace std::string_literals;
    TraceLog trace;
    block().binary_row_length = 3;
    block().char_row_length = 5;
    copy_text(block().insert_table, "T");
    const char row[4] = {'A', 'B', 'C', 'D'};
    answer();
    peer.script({end_answer(), {{reply()}}});
    klstatus st{};
    ASSERT_EQ(klinsert(instance, "", &st, "t", "", row), 0u);
    ASSERT_EQ(klinsert(instance, "", &st, "EMPTY", "", row), 0u);
    EXPECT_EQ(request(2).length_word, 262u);
    EXPECT_EQ(block().binary_row_length, 0);
    EXPECT_EQ(std::string(block().insert_table), "EMPTY");

    // The nested query traces as a call of its own (the word handed over and
    // taken back on both sides), though the insert keeps the word.
    char me[16];
    std::snprintf(me, sizeof me, "%x", platform::thread_identity());
    const std::string handed =
        std::string("  *** Task with control=0x0\n  *** Task taking control=") + me + "\n";
    const std::string text = trace.text();
    std::size_t at = text.find("  values=ABC\n");
    for (const std::string& line :
         {"\nFunction: klinsert\n"s, "  values=\n" + handed, "\nFunction: klgetinfo\n"s,
          "  EXIT_DLL return status=0x2bf9\n" + handed, "  table row length=0\n"s}) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in\n" << text;
        at += line.size();
    }
}

TEST_P(InsertTest, ChecksBeforeTheInsertIsSent) {
    const Bytes row = row_of(2048);
    std::vector<Step> never_ending(21, columns_answer(std::vector<Column>(100, Column{5, 0, 1})));
    const Step many = columns_answer(std::vector<Column>(155, Column{5, 1, 1}));
    const Step failed = {{reply(StatusRecord{}.error(2001).warn(7).info(9))}};
    struct Case {
        const char* name;
        std::vector<Step> catalogue;
        std::string options, table, columns;
        std::int32_t error;    // 0: the insert is sent
        std::uint32_t row = 0; // row bytes sent
        std::int32_t warn = 0, info = 0;
        std::string text;
    };
    const std::string c253(253, 'c'), t32(32, 't');
    const Case cases[] = {
        {"table name of 32 characters", {end_answer()}, "", t32, "", 0},
        {"texts filling the 256-byte area", {end_answer()}, "", "T", c253.substr(1), 0},
        {"texts beyond the 256-byte area", {end_answer()}, "", "T", c253, 18021},
        {"record of 2048 bytes", {columns_answer({{5, 1786, 1}})}, "", "T", "", 0, 1786},
        {"record beyond 2048 bytes", {columns_answer({{5, 1787, 1}})}, "", "T", "", 18021},
        {"CHAR row fits, binary row not", {columns_answer({{7, 2034, 1}})}, "CHAR", "T", "", 18021},
        {"negative column length", {columns_answer({{5, -5, 1}})}, "", "T", "", 18021},
        {"more columns than asked for", {many, end_answer()}, "", "T", "", 0, 100},
        {"a catalogue that never ends", never_ending, "", "T", "", 18021},
        {"a failed catalogue query", {failed}, "", "T", "", 2001, 0, 7, 9, "klgetinfo"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        block().insert_table[0] = '\0';
        const std::size_t before = sent();
        peer.script(c.catalogue);
        if (c.error == 0) answer();
        klstatus st{};
        EXPECT_EQ(klinsert(instance, c.options.c_str(), &st, c.table.c_str(), c.columns.c_str(),
                           c.error == 0 ? chars(row) : nullptr),
                  static_cast<std::uint32_t>(c.error))
            << st.buffer;
        EXPECT_EQ(st.warn, c.warn);
        EXPECT_EQ(st.info, c.info);
        EXPECT_EQ(std::string(st.buffer), c.text);
        EXPECT_TRUE(c.error != 2001 || block().insert_table[0] == '\0'); // nothing cached
        const std::size_t queries = c.catalogue.size();
        if (c.error == 0) {
            EXPECT_EQ(request(before + queries).length_word, 262u + c.row);
        } else {
            EXPECT_EQ(sent(), before + queries);
        }
    }
}

// The owner word stays with the insert through its catalogue query: another
// thread's call is refused meanwhile, and the insert never hands the word
// over to take it back (so a word taken in that moment is left alone).
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

// The cursor calls' answers: what the cursor block keeps, the record
// collection loop, what fetch, form, calc and describe copy when answers do
// not add up, and the description chunks of describe and bind.

#include <algorithm>

#include "library_fixture.h"

namespace kl::test {
namespace {

struct SelectionTest : CursorTest {
    // The next call gets its own answer: nothing was left unread before it.
    void expect_in_step(std::int32_t size) {
        answer(StatusRecord{}.valuesize(size));
        klstatus st{};
        ASSERT_EQ(klqualify(cursor, "", &st, "", "", "", ""), 0u);
        EXPECT_EQ(block().qualify_size, size);
    }
};

TEST_P(SelectionTest, CursorBlockTakesSizesOnlyOnSuccess) {
    klstatus st{};
    answer(StatusRecord{}.valuesize(12).bufflen(300));
    answer(StatusRecord{}.valuesize(5));
    answer(StatusRecord{}.error(11999).valuesize(99).bufflen(99));
    answer(StatusRecord{}.error(11999).valuesize(98));
    ASSERT_EQ(klselect(1, "", &st, "t", "c", ""), 0u);
    ASSERT_EQ(klqualify(1, "", &st, "", "t", "c", ""), 0u);
    EXPECT_EQ(klselect(1, "", &st, "t", "c", ""), 11999u);
    EXPECT_EQ(klqualify(1, "", &st, "", "t", "c", ""), 11999u);
    EXPECT_EQ(block().value_size, 12);
    EXPECT_EQ(block().record_length, 300);
    EXPECT_EQ(block().qualify_size, 5);
    answer(StatusRecord{}.valuesize(40));
    ASSERT_EQ(kljoin(1, "", &st, "ft", "fc", 0, "tt", "tc"), 0u);
    EXPECT_EQ(block().qualify_size, 40);
    answer(StatusRecord{}.valuesize(41));
    ASSERT_EQ(kljoin303(1, "", &st, "ft", "fc", "tt", "tc"), 0u);
    EXPECT_EQ(block().qualify_size, 41);
    answer(StatusRecord{}.error(5100).valuesize(99));
    EXPECT_EQ(kljoin303(1, "", &st, "", nullptr, "", ""), 5100u);
    EXPECT_EQ(block().qualify_size, 41);
}

TEST_P(SelectionTest, FetchAndListEndAtTheEndOfRecords) {
    struct Case {
        std::int32_t count;
        std::vector<Answer> answers;
        std::uint32_t result;
        std::int32_t warn, received;
    };
    const Answer end = reply(StatusRecord{}.error(11032).info(4));
    const Answer three = reply(StatusRecord{}.count(3).bufflen(6), counting_bytes(6, 1));
    const std::vector<Case> cases = {
        {10, {three, end}, 0, 11032, 3},
        {1, {end}, 11032, 0, 0},
        {10, {end}, 11032, 0, 0},
        // A bare status announcing records carries none: not counted.
        {2, {reply(StatusRecord{}.count(2).bufflen(6)), end}, 11032, 0, 0},
        {0, {}, 0, 0, 0},
        {-5, {}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        answer(c.answers);
        std::vector<char> records(64);
        klstatus st{};
        EXPECT_EQ(klfetch(1, "", &st, c.count, records.data()), c.result);
        EXPECT_EQ(st.warn, c.warn);
        EXPECT_EQ(st.count, c.received);
        EXPECT_TRUE(c.warn == 0 || st.info == 0);
    }

    // A list ends at a server error with the totals so far; a list of no
    // records reads no answer (and needs no area).
    answer({reply(StatusRecord{}.count(2).bufflen(20), counting_bytes(20, 0)),
            reply(StatusRecord{}.error(11032).text("end"))});
    std::vector<char> area(40);
    klstatus st{};
    EXPECT_EQ(kllist(1, "", &st, "T", "", "", 5, area.data()), 11032u);
    EXPECT_EQ(st.count, 2);
    EXPECT_EQ(st.bufflen, 20);
    EXPECT_EQ(std::string(st.buffer), "end");
    EXPECT_EQ(kllist(1, "", &st, "T", "", "", 0, nullptr), 0u);
    expect_in_step(3); // nothing was read for counts of 0 and below
}

// Bufflens that do not describe the data: only bytes that arrived are
// copied, the offset moves by no more than each answer carried, nothing
// lands outside the caller's area, and the next call gets its own answer.
TEST_P(SelectionTest, HostileFetchAnswersStayInBounds) {
    const Bytes c = counting_bytes(50, 0x90), e = counting_bytes(4, 0x60);
    answer({reply(StatusRecord{}.count(1).bufflen(-1000), counting_bytes(10, 1)),
            reply(StatusRecord{}.count(1).bufflen(1), counting_bytes(3000, 0x20)),
            reply(StatusRecord{}.count(1).bufflen(10'000'000), c),
            reply(StatusRecord{}.count(1).bufflen(5000), counting_bytes(3000, 0xC0)),
            reply(StatusRecord{}.count(1).bufflen(4), e)});
    constexpr std::size_t guard = 1000, count = 5, size = count * KL_MAX_RECORD_BYTES;
    std::vector<std::uint8_t> area(guard + size + guard, 0xEE);
    klstatus st{};
    ASSERT_EQ(klfetch(1, "", &st, count, reinterpret_cast<char*>(area.data()) + guard), 0u);
    EXPECT_EQ(st.count, 5);
    EXPECT_EQ(st.bufflen, 0 + 1 + 50 + 1956 + 4);
    // The second answer overwrote the first from the same place and was cut
    // at the answer area; each later one starts where the offset stood.
    Bytes placed = join({Bytes(guard, 0xEE), {0x20}, c, counting_bytes(1956, 0xC0), e});
    placed.resize(area.size(), 0xEE);
    EXPECT_EQ(to_hex(area), to_hex(placed));

    answer(StatusRecord{}.error(7), counting_bytes(2500, 0));
    std::vector<std::uint8_t> keys(3000, 0xEE);
    EXPECT_EQ(klfetchkeys(1, "", &st, 1, reinterpret_cast<char*>(keys.data())), 7u);
    EXPECT_EQ(keys[1955], static_cast<std::uint8_t>(1955));
    EXPECT_EQ(keys[1956], 0xEE);
    expect_in_step(8);
}

// A form's bufflen that describes the data area copies that many bytes
// (zeros where the answer was shorter); one below 0 or beyond the
// 1956-byte area copies only what arrived, and becomes the row length
// (only on success).
// klcalc copies bufflen bytes of its result, but never more than arrived
// or than the answer area hands on (1860), and reports what it copied.
TEST_P(SelectionTest, FormAndCalcCopyOnlyWhatTheAnswerCanHold) {
    const struct {
        const char* name;
        bool calc;
        std::int32_t error, bufflen;
        Bytes data;
        std::size_t copied;    // zero-filled beyond the data
        std::int32_t reported; // the form's row length, the calc's bufflen
    } cases[] = {
        {"form announced less than sent", false, 0, 10, Bytes(20, 0x41), 10, 10},
        {"form announced more than sent", false, 0, 30, Bytes(10, 0x41), 30, 30},
        {"form negative", false, 0, -1, Bytes(20, 0x41), 20, -1},
        {"form beyond the area, short answer", false, 0, 5000, Bytes(100, 0x41), 100, 5000},
        {"form beyond the area, long answer", false, 0, 5000, Bytes(3000, 0x41), 1956, 5000},
        // Copied all the same; the row length stays the one of the row before.
        {"form with a server error", false, 3001, 4, counting_bytes(4, 50), 4, 5000},
        {"calc result", true, 0, 5, text_bytes("ABCDEFG"), 5, 5},
        {"calc with a server error", true, 4400, 3, text_bytes("XYZ"), 3, 3},
        {"calc bufflen 0", true, 0, 0, text_bytes("QQ"), 0, 0},
        {"calc bufflen beyond the bytes", true, 0, 5000, Bytes(10, 0x42), 10, 10},
        {"calc answer longer than its area", true, 0, 1900, Bytes(2100, 0x43), 1860, 1860},
        {"calc negative bufflen", true, 0, -4, text_bytes("abc"), 0, -4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        answer(StatusRecord{}.error(c.error).bufflen(c.bufflen), c.data);
        Bytes area(4000, 0xEE);
        char* out = reinterpret_cast<char*>(area.data());
        klstatus st{};
        EXPECT_EQ(c.calc ? klcalc(1, "", &st, "t", "c", out) : klform(1, "", &st, "T", "", 1, out),
                  static_cast<std::uint32_t>(c.error));
        EXPECT_EQ(c.calc ? st.bufflen : block().record_length, c.reported);
        Bytes expected = c.data;
        expected.resize(c.copied, 0);
        expected.resize(area.size(), 0xEE);
        EXPECT_EQ(to_hex(area), to_hex(expected));
    }
    expect_in_step(5);
}

// The status words these answers carry are decoded for every call alike (the
// exchange test covers their byte order): one order is enough here.
INSTANTIATE_TEST_SUITE_P(LittleEndian, SelectionTest, ::testing::Values(false), byte_order_name);

struct ColumnCalls : SelectionTest {
    // A description chunk record: a header that must not reach the status,
    // then the chunk.
    Answer chunk(const Bytes& data) const {
        return {.payload = join({encode_status(StatusRecord{}.error(77).count(99), big()), data})};
    }
};

// count descriptions numbered from first, their eleven numbers in the given
// order (client order is little-endian on the machines the tests run on).
Bytes descriptions(int first, int count, bool big_endian) {
    Bytes out;
    for (int n = first; n < first + count; ++n) {
        const auto number = [&](int k) {
            return number_bytes(static_cast<std::uint32_t>(n * 100 + k), 4, big_endian);
        };
        out = join({out, number(0), Bytes(168, static_cast<std::uint8_t>(n))});
        for (int k = 1; k <= 10; ++k)
            out = join({out, number(k)});
        out = join({out, Bytes(8, static_cast<std::uint8_t>(0xE0 + n))});
    }
    return out;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

TEST_P(ColumnCalls, BindSendsDescriptionsInChunksBehindTwoZeroBytes) {
    const Bytes mine = descriptions(0, 13, false);
    Bytes area = mine;
    peer.script({{}, {}, {}, {{reply(StatusRecord{}.bufflen(640))}}});
    klstatus st{};
    ASSERT_EQ(klbind(cursor, "K;rest", &st, 13, reinterpret_cast<char*>(area.data())), 0u);
    EXPECT_EQ(area, mine);
    EXPECT_EQ(block().record_length, 640);
    EXPECT_EQ(to_hex(request(0).payload), to_hex(join({head(311), num(13), text_bytes("K", 80)})));
    const Bytes wire = descriptions(0, 13, big());
    const std::size_t sizes[] = {1322, 1322, 222};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(request(i + 1).length_word, sizes[i]);
        EXPECT_EQ(to_hex(request(i + 1).payload),
                  to_hex(join({{0, 0}, slice(wire, i * 1320, sizes[i] - 2)})));
    }

    // No columns: the request alone, then the status (here with bytes
    // behind it that are dropped, so the next bind reads its own).  A bind
    // the server refuses keeps the record length.
    for (const std::int32_t error : {0, 3300}) {
        SCOPED_TRACE(error);
        answer(StatusRecord{}.error(error).bufflen(12 + error), Bytes(100, 0xEE));
        const std::size_t at = sent();
        EXPECT_EQ(klbind(cursor, "", &st, error ? -1 : 0, nullptr),
                  static_cast<std::uint32_t>(error));
        EXPECT_EQ(block().record_length, 12);
        EXPECT_EQ(request(at).length_word, 90u);
    }
}

TEST_P(ColumnCalls, DescribePlacesNoMoreThanTheCallerMadeRoomFor) {
    const Bytes wire = descriptions(0, 8, big());
    const struct {
        const char* name;
        int announced;
        kl_long columns;
        std::vector<Bytes> records;
        int placed;
    } cases[] = {
        {"more than num_columns", 8, 3, {slice(wire, 0, 1320), slice(wire, 1320, 440)}, 3},
        {"a record short of its share", 7, 7, {slice(wire, 0, 550), slice(wire, 1320, 220)}, 2},
        {"a record longer than the area", 6, 6, {join({slice(wire, 0, 1320), Bytes(1000, 1)})}, 6},
        {"no room at all", 2, -1, {slice(wire, 0, 440)}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Answer> answers = {reply(StatusRecord{}.count(c.announced).text("told"))};
        for (const Bytes& record : c.records)
            answers.push_back(chunk(record));
        answer(answers);
        const std::size_t room = static_cast<std::size_t>(std::max<kl_long>(c.columns, 0)) * 220;
        Bytes area(room + 220, 0x5A);
        klstatus st{};
        ASSERT_EQ(kldescribe(cursor, "", &st, c.columns, reinterpret_cast<char*>(area.data())), 0u);
        EXPECT_EQ(st.count, c.placed);
        EXPECT_EQ(std::string(st.buffer), "told");
        const std::size_t placed = static_cast<std::size_t>(c.placed) * 220;
        EXPECT_EQ(to_hex(slice(area, 0, placed)), to_hex(descriptions(0, c.placed, false)));
        EXPECT_EQ(slice(area, placed, area.size() - placed), Bytes(area.size() - placed, 0x5A));
    }
    expect_in_step(5); // every announced record was read
    klstatus st{};

    // A broken connection keeps what arrived, in the server's order.
    peer.script({{.answers = {reply(StatusRecord{}.count(7)), chunk(slice(wire, 0, 1320)),
                              chunk(slice(wire, 1320, 220))},
                  .fault = Fault::close_mid_answer,
                  .close_after = 100 + 1420 + 10}});
    Bytes area(7 * 220, 0x5A);
    EXPECT_EQ(kldescribe(cursor, "", &st, 7, reinterpret_cast<char*>(area.data())), KL_ERR_SOCKET);
    EXPECT_EQ(to_hex(slice(area, 0, 1320)), to_hex(slice(wire, 0, 1320)));
    EXPECT_EQ(slice(area, 1320, 220), Bytes(220, 0x5A));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ColumnCalls, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

// Describe and bind against the test peer: the description chunks in each
// direction and byte order, and what describe does with answers that do
// not fit the caller's arguments.

#include <gtest/gtest.h>

#include "library_fixture.h"

namespace kl::test {
namespace {

using ColumnCalls = CursorTest;

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

// A description chunk record: a header that must not reach the status,
// then the chunk.
Answer chunk(const Bytes& data, bool big_endian) {
    return {.payload = join({encode_status(StatusRecord{}.error(77).count(99), big_endian), data})};
}

char* area_of(Bytes& bytes) {
    return reinterpret_cast<char*>(bytes.data());
}

TEST_P(ColumnCalls, DescribeReadsSixDescriptionsToARecord) {
    const Bytes wire = descriptions(0, 7, big());
    const struct {
        int count;
        std::vector<std::size_t> chunks;
    } cases[] = {{6, {1320}}, {7, {1320, 220}}, {0, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        std::vector<Answer> answers = {
            reply(StatusRecord{}.count(c.count).bufflen(31).text("described"))};
        for (std::size_t i = 0; i < c.chunks.size(); ++i)
            answers.push_back(chunk(slice(wire, i * 1320, c.chunks[i]), big()));
        answer(answers);
        const std::size_t at = sent();
        Bytes area(8 * 220, 0x5A);
        klstatus st{};
        ASSERT_EQ(kldescribe(cursor, "a='x;y';b", &st, 8, area_of(area)), 0u);
        EXPECT_EQ(st.count, c.count);
        EXPECT_EQ(st.bufflen, 31);
        EXPECT_EQ(std::string(st.buffer), "described");
        const std::size_t placed = static_cast<std::size_t>(c.count) * 220;
        EXPECT_EQ(to_hex(slice(area, 0, placed)), to_hex(descriptions(0, c.count, false)));
        EXPECT_EQ(slice(area, placed, area.size() - placed), Bytes(area.size() - placed, 0x5A));
        EXPECT_EQ(to_hex(request(at).payload),
                  to_hex(join({head(310), num(8), text_bytes("a='x;y'", 80)})));
    }
}

TEST_P(ColumnCalls, BindSendsDescriptionsInChunksBehindTwoZeroBytes) {
    const Bytes mine = descriptions(0, 13, false);
    Bytes area = mine;
    peer.script({{}, {}, {}, {{reply(StatusRecord{}.bufflen(640))}}});
    klstatus st{};
    ASSERT_EQ(klbind(cursor, "K;rest", &st, 13, area_of(area)), 0u);
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
    const struct {
        kl_long columns;
        std::int32_t error;
        std::int32_t record_length;
    } cases[] = {{0, 0, 12}, {-1, 3300, 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.columns);
        answer(StatusRecord{}.error(c.error).bufflen(12 + c.error), Bytes(100, 0xEE));
        const std::size_t at = sent();
        EXPECT_EQ(klbind(cursor, "", &st, c.columns, nullptr), static_cast<std::uint32_t>(c.error));
        EXPECT_EQ(block().record_length, c.record_length);
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
        std::vector<Answer> answers = {reply(StatusRecord{}.count(c.announced))};
        for (const Bytes& record : c.records)
            answers.push_back(chunk(record, big()));
        answer(answers);
        const std::size_t room = static_cast<std::size_t>(std::max<kl_long>(c.columns, 0)) * 220;
        Bytes area(room + 220, 0x5A);
        klstatus st{};
        ASSERT_EQ(kldescribe(cursor, "", &st, c.columns, area_of(area)), 0u);
        EXPECT_EQ(st.count, c.placed);
        const std::size_t placed = static_cast<std::size_t>(c.placed) * 220;
        EXPECT_EQ(to_hex(slice(area, 0, placed)), to_hex(descriptions(0, c.placed, false)));
        EXPECT_EQ(slice(area, placed, area.size() - placed), Bytes(area.size() - placed, 0x5A));
    }
    // Every announced record was read: the next call gets its own answer.
    answer(StatusRecord{}.valuesize(5));
    klstatus st{};
    EXPECT_EQ(kljoin303(cursor, "", &st, "a", "b", "c", "d"), 0u);
    EXPECT_EQ(block().qualify_size, 5);

    // A broken connection keeps what arrived, in the server's order.
    peer.script({{.answers = {reply(StatusRecord{}.count(7)), chunk(slice(wire, 0, 1320), big()),
                              chunk(slice(wire, 1320, 220), big())},
                  .fault = Fault::close_mid_answer,
                  .close_after = 100 + 1420 + 10}});
    Bytes area(7 * 220, 0x5A);
    EXPECT_EQ(kldescribe(cursor, "", &st, 7, area_of(area)), KL_ERR_SOCKET);
    EXPECT_EQ(to_hex(slice(area, 0, 1320)), to_hex(slice(wire, 0, 1320)));
    EXPECT_EQ(slice(area, 1320, 220), Bytes(220, 0x5A));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ColumnCalls, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

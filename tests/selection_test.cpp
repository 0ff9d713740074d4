// Qualify, select, fetch and fetch keys against the test peer in both byte
// orders: the request bytes, what the cursor block keeps, the fetch loop
// and what happens when the server's answers do not add up.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "library_fixture.h"

namespace kl::test {
namespace {

using SelectionTest = CursorTest;

TEST_P(SelectionTest, RequestBytes) {
    struct Case {
        const char* name;
        std::function<std::uint32_t(klstatus&)> call;
        Bytes expected;
    };
    std::vector<char> out(4096);
    const std::vector<Case> cases = {
        {"qualify packs five texts, options whole",
         [](klstatus& st) { return klqualify(1, "o;p", &st, "own", "tab", "col", "c=1"); },
         join({head(305), text_bytes("own"), text_bytes("tab"), text_bytes("col"),
               text_bytes("o;p"), text_bytes("c=1")})},
        {"select with null texts sends lone terminators",
         [](klstatus& st) { return klselect(1, nullptr, &st, nullptr, "", nullptr); },
         join({head(307), Bytes(4, 0)})},
        {"fetch cuts its options at a semicolon outside quotes",
         [&](klstatus& st) { return klfetch(1, "a';'\"x;\";cut", &st, -0x10203, out.data()); },
         join(
             {head(308), num(static_cast<std::uint32_t>(-0x10203)), text_bytes("a';'\"x;\"", 80)})},
        {"fetch keys", [&](klstatus& st) { return klfetchkeys(1, "K", &st, 7, out.data()); },
         join({head(306), num(7), text_bytes("K", 80)})},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        answer();
        klstatus st{};
        EXPECT_EQ(cases[i].call(st), 0u) << st.error;
        EXPECT_EQ(to_hex(request(i).payload), to_hex(cases[i].expected));
    }
}

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
}

TEST_P(SelectionTest, LocalRefusalsSendNothing) {
    const std::string fits(2038 - 4, 'x'); // with four terminators: exactly the area
    answer();
    klstatus st{};
    ASSERT_EQ(klselect(1, "", &st, fits.c_str(), "", ""), 0u);
    EXPECT_EQ(request(0).payload.size(), 2044u);

    struct Case {
        std::function<std::uint32_t(klstatus&)> call;
        std::int32_t error, info;
    };
    const std::string too_long = fits + "x";
    char area[8];
    const std::vector<Case> cases = {
        {[&](klstatus& s) { return klselect(1, "", &s, too_long.c_str(), "", ""); }, 18021, 0},
        {[&](klstatus& s) { return klqualify(1, too_long.c_str(), &s, "", "", "", ""); }, 18021, 0},
        {[](klstatus& s) { return klselect(0, "", &s, "", "", ""); }, 11042, 0},
        {[](klstatus& s) { return klqualify(-3, "", &s, "", "", "", ""); }, 11042, -3},
        {[&](klstatus& s) { return klfetch(2, "", &s, 1, area); }, 11042, 2},
        {[&](klstatus& s) { return klfetchkeys(99, "", &s, 1, area); }, 11042, 99},
        {[](klstatus& s) { return klfetch(1, "", &s, 1, nullptr); }, 10036, 0},
        {[](klstatus& s) { return klfetchkeys(1, "", &s, 1, nullptr); }, 10036, 0},
    };
    for (const Case& c : cases) {
        klstatus s{};
        EXPECT_EQ(c.call(s), static_cast<std::uint32_t>(c.error));
        EXPECT_EQ(s.info, c.info);
    }
    transport_state.connected_flag = 0;
    EXPECT_EQ(klfetch(1, "", &st, 1, area), 18011u);
    EXPECT_EQ(sent(), 1u);
}

// Answers carrying 4, 4 and 2 records.  The offset moves on by each
// bufflen but never past the data that answer carried: the second claims
// 4 bytes less than it sent (the third then overwrites its tail), the
// third 8 bytes more (the offset moves by its 20 bytes only).
TEST_P(SelectionTest, FetchCollectsAcrossAnswers) {
    const Bytes d1 = counting_bytes(40, 0x10), d2 = counting_bytes(40, 0x40),
                d3 = counting_bytes(20, 0x80);
    answer({reply(StatusRecord{}.count(4).bufflen(40), d1),
            reply(StatusRecord{}.count(4).bufflen(36), d2),
            reply(StatusRecord{}.count(2).bufflen(28), d3)});
    std::vector<std::uint8_t> records(200, 0xEE);
    klstatus st{};
    ASSERT_EQ(klfetch(1, "", &st, 10, reinterpret_cast<char*>(records.data())), 0u);
    EXPECT_EQ(st.count, 10);
    EXPECT_EQ(st.bufflen, 96);
    const Bytes expected = join({d1, Bytes(d2.begin(), d2.begin() + 36), d3, Bytes(8, 0xEE)});
    EXPECT_EQ(to_hex(Bytes(records.begin(), records.begin() + 104)), to_hex(expected));
}

TEST_P(SelectionTest, EndOfRecordsIsAWarningOnlyAfterSomeArrived) {
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
        st.warn = 0;
        EXPECT_EQ(klfetch(1, "", &st, c.count, records.data()), c.result);
        EXPECT_EQ(st.warn, c.warn);
        EXPECT_EQ(st.count, c.received);
        if (c.warn != 0) {
            EXPECT_EQ(st.info, 0);
        }
    }
    // Nothing was read for the counts of 0 and below: the next call's
    // answer is its own.
    answer(StatusRecord{}.valuesize(3));
    klstatus st{};
    ASSERT_EQ(klqualify(1, "", &st, "", "", "", ""), 0u);
    EXPECT_EQ(block().qualify_size, 3);
}

// A server whose words do not describe its data: a negative bufflen, an
// answer longer than the answer area, bufflens far beyond the data.  Only
// the bytes that arrived are copied, never more than the area holds; the
// offset moves by no more than each answer carried, so everything lands
// within count * KL_MAX_RECORD_BYTES of the caller's area (guards on both
// sides stay untouched), and the next call still gets its own answer.
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
    const Bytes placed = join({{0x20}, c, counting_bytes(1956, 0xC0), e, {0xEE}});
    EXPECT_EQ(to_hex(Bytes(area.begin() + guard, area.begin() + guard + placed.size())),
              to_hex(placed));
    EXPECT_EQ(std::count(area.begin(), area.begin() + guard, 0xEE), guard);
    EXPECT_EQ(std::count(area.begin() + guard + placed.size(), area.end(), 0xEE),
              size + guard - placed.size());

    answer(StatusRecord{}.error(7), counting_bytes(2500, 0));
    answer(StatusRecord{}.valuesize(8));
    std::vector<std::uint8_t> keys(3000, 0xEE);
    EXPECT_EQ(klfetchkeys(1, "", &st, 1, reinterpret_cast<char*>(keys.data())), 7u);
    EXPECT_EQ(keys[1955], static_cast<std::uint8_t>(1955));
    EXPECT_EQ(keys[1956], 0xEE);
    ASSERT_EQ(klqualify(1, "", &st, "", "", "", ""), 0u);
    EXPECT_EQ(block().qualify_size, 8);
}

TEST_P(SelectionTest, BrokenConnectionKeepsWhatArrived) {
    // The peer closes 20 bytes into the second answer (each answer is a
    // 4-byte fragment header, the 4-byte length word, 92 + 4 bytes).
    peer.script({{{reply(StatusRecord{}.count(2).bufflen(4), counting_bytes(4, 1)),
                   reply(StatusRecord{}.count(2).bufflen(4), counting_bytes(4, 9))},
                  Fault::close_mid_answer,
                  104 + 20}});
    std::vector<std::uint8_t> area(16, 0xEE);
    klstatus st{};
    EXPECT_EQ(klfetch(1, "", &st, 5, reinterpret_cast<char*>(area.data())), 18065u);
    EXPECT_EQ(to_hex(Bytes(area.begin(), area.begin() + 5)), "01 02 03 04 EE");
}

// While one thread's fetch waits for its answer, another thread's call is
// turned away without touching the connection.
TEST_P(SelectionTest, SecondThreadIsRefusedWhileACallWaits) {
    peer.script({{.fault = Fault::never_answer}});
    std::vector<char> area(16);
    klstatus first{};
    std::thread waiting([&] { klfetch(1, "", &first, 1, area.data()); });
    ASSERT_TRUE(peer.wait_for_requests(setup_requests + 1));
    klstatus second{};
    EXPECT_EQ(klselect(1, "", &second, "t", "", ""), 18002u);
    peer.release_held();
    waiting.join();
    EXPECT_EQ(first.error, 18065);
    EXPECT_EQ(sent(), 1u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, SelectionTest, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

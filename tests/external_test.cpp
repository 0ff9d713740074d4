// External routines and commands: header and input records in both byte
// orders, input and output cut into pieces (beyond 65535 bytes too), and
// hostile output records.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "library_fixture.h"

namespace kl::test {
namespace {

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251);
    return out;
}

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

// Input goes out 2046 bytes a record and output comes back 1955 bytes a
// record, each piece at its own place however long the data.
TEST_P(ExternalTest, InputAndOutputInPieces) {
    struct Case {
        std::int32_t in_length;
        std::int32_t out_length;
        std::size_t input_records;
        std::size_t output_records;
    };
    const Case cases[] = {
        {0, 0, 0, 0},           {2046, 1955, 1, 1},       {2047, 1956, 2, 2},
        {70000, 70000, 35, 36}, {1, 65536 + 1955, 1, 35},
    };
    std::size_t first = setup_requests;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.in_length << " in, " << c.out_length << " out");
        const Bytes input = pattern(static_cast<std::size_t>(c.in_length) + 1, 1);
        const Bytes expected = pattern(static_cast<std::size_t>(c.out_length), 2);
        std::vector<Answer> answers = {reply(StatusRecord{})};
        for (std::size_t at = 0; at < expected.size(); at += 1955) {
            const std::size_t end = std::min(expected.size(), at + 1955);
            answers.push_back(output_record(Bytes(expected.begin() + at, expected.begin() + end)));
        }
        ASSERT_EQ(answers.size(), 1 + c.output_records);
        script_exchange(1 + c.input_records, answers);

        // One byte more on each: a canary, and never a null area.
        Bytes output(expected.size() + 1, 0xEE);
        klstatus st{};
        ASSERT_EQ(klexternal(instance, "", &st, 0, "L", "R",
                             reinterpret_cast<const char*>(input.data()), c.in_length,
                             reinterpret_cast<char*>(output.data()), c.out_length),
                  0u);
        EXPECT_EQ(st.error, 0);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), output.begin()));
        EXPECT_EQ(output.back(), 0xEE);

        ASSERT_TRUE(peer.wait_for_requests(first + 1 + c.input_records));
        const auto requests = peer.requests();
        ASSERT_EQ(requests.size(), first + 1 + c.input_records);
        Bytes sent;
        for (std::size_t i = first + 1; i < requests.size(); ++i) {
            const Bytes& r = requests[i].payload;
            ASSERT_GE(r.size(), 3u);
            EXPECT_EQ(r.size(), i + 1 < requests.size()
                                    ? 2048u
                                    : 2 + (static_cast<std::size_t>(c.in_length) - sent.size()));
            EXPECT_EQ(r[0] | r[1], 0);
            sent.insert(sent.end(), r.begin() + 2, r.end());
        }
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), input.begin(), input.end() - 1));
        first = requests.size();
    }
}

// An output record shorter than its piece copies only what arrived; one
// longer than the answer area gives its first 1955 bytes and the rest is
// passed over, so the next record and the next call are read in step.
// Output records never change the status, and a server error after the
// input reads none.
TEST_P(ExternalTest, HostileOutputRecords) {
    const Bytes over_long = pattern(3000, 3);
    const Bytes last = pattern(90, 4);
    script_exchange(1, {reply(StatusRecord{}), output_record(pattern(100, 5)),
                        output_record(over_long), output_record(last)});
    Bytes output(4001, 0xEE);
    klstatus st{};
    ASSERT_EQ(klexternal(instance, "", &st, 0, "L", "R", "", 0,
                         reinterpret_cast<char*>(output.data()), 4000),
              0u);
    EXPECT_EQ(st.error, 0);
    EXPECT_EQ(st.count, 0);
    EXPECT_TRUE(std::equal(output.begin(), output.begin() + 100, pattern(100, 5).begin()));
    EXPECT_EQ(std::count(output.begin() + 100, output.begin() + 1955, 0xEE), 1855);
    EXPECT_TRUE(std::equal(output.begin() + 1955, output.begin() + 3910, over_long.begin()));
    EXPECT_TRUE(std::equal(output.begin() + 3910, output.begin() + 4000, last.begin()));
    EXPECT_EQ(output[4000], 0xEE);

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

// The record stream driven with bytes alone: what leaves in each send call,
// and how records are read back from input that arrives in pieces.

#include <gtest/gtest.h>

#include <deque>

#include "peer/test_peer.h"
#include "platform/platform.h"
#include "transport/record_stream.h"

namespace kl {
namespace {

using test::Bytes;
using test::hex;
using test::to_hex;

// In-memory I/O: every send call is kept; receive calls hand out the input
// in the chunks given (a chunk larger than the room asked is split), and
// report a closed connection when the input runs out.
struct MemoryIo {
    std::vector<Bytes> sent;
    std::vector<bool> more; // the hint of each send
    std::deque<Bytes> input;
    long fail_send_after = -1; // number of send calls that succeed
    int receive_calls = 0;

    StreamIo io() {
        StreamIo io;
        io.context = this;
        io.send = [](void* c, const std::uint8_t* data, std::size_t n, bool more) -> long {
            auto* self = static_cast<MemoryIo*>(c);
            if (self->fail_send_after == 0) return -1;
            if (self->fail_send_after > 0) --self->fail_send_after;
            self->sent.emplace_back(data, data + n);
            self->more.push_back(more);
            return static_cast<long>(n);
        };
        io.receive = [](void* c, std::uint8_t* data, std::size_t n) -> long {
            auto* self = static_cast<MemoryIo*>(c);
            ++self->receive_calls;
            if (self->input.empty()) return 0;
            Bytes& chunk = self->input.front();
            const std::size_t m = std::min(n, chunk.size());
            std::copy(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(m), data);
            chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(m));
            if (chunk.empty()) self->input.pop_front();
            return static_cast<long>(m);
        };
        return io;
    }
};

// Sends one request record the way the exchange does: length word, the
// bytes with their padding, end of record.
bool send_record(XdrHandle& h, Bytes payload) {
    h.op = XdrOp::encode;
    auto length = static_cast<std::int32_t>(payload.size());
    return xdr_long(h, &length) &&
           xdr_opaque(h, payload.data(), static_cast<std::uint32_t>(payload.size())) &&
           xdrrec_endofrecord(h, true);
}

struct StreamTest : ::testing::Test {
    MemoryIo mem;
    XdrHandle handle;
    void SetUp() override { ASSERT_TRUE(xdrrec_create(handle, 1024, 1024, mem.io())); }
};

TEST(RecordStreamSizes, SmallRequestsBecome4000AndSizesRoundUpToFour) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0, 4000}, {99, 4000}, {100, 100}, {101, 104}, {1023, 1024}, {1024, 1024}};
    for (auto [requested, adjusted] : cases)
        EXPECT_EQ(adjust_buffer_size(requested), adjusted) << requested;
}

TEST_F(StreamTest, LongRecordsAreCutInto1020ByteFragments) {
    // Length word + 2048 bytes = 2052 bytes of record data.
    ASSERT_TRUE(send_record(handle, Bytes(2048, 0xAB)));
    ASSERT_EQ(mem.sent.size(), 3u);
    EXPECT_EQ(to_hex(Bytes(mem.sent[0].begin(), mem.sent[0].begin() + 8)),
              "00 00 03 FC 00 00 08 00");
    EXPECT_EQ(mem.sent[0].size(), 1024u);
    EXPECT_EQ(to_hex(Bytes(mem.sent[1].begin(), mem.sent[1].begin() + 4)), "00 00 03 FC");
    EXPECT_EQ(to_hex(Bytes(mem.sent[2].begin(), mem.sent[2].begin() + 4)), "00 00 80 0C");
    EXPECT_EQ(mem.sent[2].size(), 16u);
    // Only the last fragment's send releases what the system may hold back.
    EXPECT_EQ(mem.more, (std::vector<bool>{true, true, false}));
}

TEST_F(StreamTest, ARecordThatFillsTheBufferEndsWithAnEmptyLastFragment) {
    // 4-byte length word + 1016 bytes = exactly one 1020-byte fragment.
    ASSERT_TRUE(send_record(handle, Bytes(1016, 0x11)));
    ASSERT_EQ(mem.sent.size(), 2u);
    EXPECT_EQ(to_hex(Bytes(mem.sent[0].begin(), mem.sent[0].begin() + 4)), "00 00 03 FC");
    EXPECT_EQ(to_hex(mem.sent[1]), "00 00 80 00");
    EXPECT_EQ(mem.more, (std::vector<bool>{true, false}));
}

// Reads one record the way the exchange does: skip the rest of the last
// record, length word, bytes.
bool read_record(XdrHandle& h, Bytes& out) {
    h.op = XdrOp::decode;
    xdrrec_skiprecord(h);
    std::int32_t length = 0;
    if (!xdr_long(h, &length)) return false;
    out.assign(static_cast<std::size_t>(length) & 0xFFFF, 0);
    return xdr_opaque(h, out.data(), static_cast<std::uint32_t>(out.size()));
}

TEST_F(StreamTest, RecordsAreReadWhateverTheFragmentsAndReceiveChunks) {
    // One record of 6 data bytes (plus padding) in three fragments, arriving
    // one byte per receive call, followed by a second record in one piece.
    Bytes input = hex("00 00 00 03 00 00 00"          // fragment of 3: start of the length word
                      "00 00 00 03 06 01 02"          // fragment of 3: rest of the word, 2 bytes
                      "00 00 80 06 03 04 05 06 00 00" // last fragment: 4 bytes + padding
                      "00 00 80 08 00 00 00 02 0A 0B 00 00");
    for (std::uint8_t b : input)
        mem.input.push_back({b});
    Bytes record;
    ASSERT_TRUE(read_record(handle, record));
    EXPECT_EQ(to_hex(record), "01 02 03 04 05 06");
    ASSERT_TRUE(read_record(handle, record));
    EXPECT_EQ(to_hex(record), "0A 0B");
}

TEST_F(StreamTest, SkipRecordDiscardsTheRestOfAPartlyReadRecord) {
    mem.input.push_back(hex("00 00 00 08 00 00 00 0C AA AA AA AA"    // first fragment
                            "00 00 80 08 BB BB BB BB CC CC CC CC"    // last fragment
                            "00 00 80 08 00 00 00 04 01 02 03 04")); // next record
    handle.op = XdrOp::decode;
    ASSERT_TRUE(xdrrec_skiprecord(handle)); // fresh stream: reads nothing
    std::int32_t length = 0;
    ASSERT_TRUE(xdr_long(handle, &length));
    EXPECT_EQ(length, 12);
    Bytes record;
    ASSERT_TRUE(read_record(handle, record));
    EXPECT_EQ(to_hex(record), "01 02 03 04");
}

TEST_F(StreamTest, HeaderBit15IsTheFlagAndEveryOtherBitTheLength) {
    // 00 01 80 10: last fragment, length 0x10010.
    Bytes input = hex("00 01 80 10 00 01 00 0C");
    input.resize(input.size() + 0x1000C - 4 + 4, 0x5A);
    mem.input.push_back(input);
    handle.op = XdrOp::decode;
    xdrrec_skiprecord(handle);
    std::int32_t length = 0;
    ASSERT_TRUE(xdr_long(handle, &length));
    EXPECT_EQ(length, 0x1000C);
    Bytes data(0x1000C);
    EXPECT_TRUE(xdrrec_getbytes(handle, data.data(), static_cast<std::int32_t>(data.size())));
    EXPECT_EQ(data.back(), 0x5A);
}

TEST_F(StreamTest, AHeaderWithTheTopBitSetIsALengthNotANegativeCount) {
    mem.input.push_back(hex("80 00 00 08 00 00 00 04 01 02 03 04"));
    handle.op = XdrOp::decode;
    xdrrec_skiprecord(handle);
    std::int32_t length = 0;
    ASSERT_TRUE(xdr_long(handle, &length));
    EXPECT_EQ(length, 4);
    std::uint8_t data[4] = {};
    ASSERT_TRUE(xdrrec_getbytes(handle, data, 4));
    EXPECT_EQ(data[3], 4);
}

TEST_F(StreamTest, ReadsFailWhenTheRecordOrTheConnectionEnds) {
    // The record ends after 4 data bytes but 8 are asked for.
    mem.input.push_back(hex("00 00 80 08 00 00 00 08 01 02 03 04"));
    Bytes record;
    EXPECT_FALSE(read_record(handle, record));

    // The connection closes in the middle of a record: the read fails
    // instead of asking the closed socket again and again.
    XdrHandle second;
    MemoryIo closing;
    ASSERT_TRUE(xdrrec_create(second, 1024, 1024, closing.io()));
    closing.input.push_back(hex("00 00 80 10 00 00 00 0C 01 02"));
    EXPECT_FALSE(read_record(second, record));
    EXPECT_LE(closing.receive_calls, 2);
}

TEST_F(StreamTest, ZeroCountsReadAndWriteNothing) {
    handle.op = XdrOp::decode;
    EXPECT_TRUE(xdrrec_getbytes(handle, nullptr, 0));
    EXPECT_TRUE(xdr_opaque(handle, nullptr, 0));
    handle.op = XdrOp::encode;
    EXPECT_TRUE(xdr_opaque(handle, nullptr, 0));
    EXPECT_EQ(mem.receive_calls, 0);
    EXPECT_TRUE(mem.sent.empty());
}

TEST(RecordStreamHandle, CreateReportsBuffersItCannotGet) {
    for (int allowed : {0, 1}) { // the state, then the two-buffer allocation
        MemoryIo mem;
        XdrHandle handle;
        platform::set_allocation_failures_after(allowed);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(xdrrec_create(handle, 1024, 1024, mem.io()));
        platform::set_allocation_failures_after(-1);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "xdrrec_create: out of memory\n");
        EXPECT_EQ(handle.stream, nullptr);
    }
}

TEST(RecordStreamHandle, AHandleWithoutAStreamFailsEveryOperation) {
    XdrHandle empty;
    std::int32_t value = 1;
    std::uint8_t byte = 0;
    empty.op = XdrOp::encode;
    EXPECT_FALSE(xdr_long(empty, &value));
    EXPECT_FALSE(xdr_opaque(empty, &byte, 1));
    EXPECT_FALSE(xdrrec_endofrecord(empty, true));
    empty.op = XdrOp::decode;
    EXPECT_FALSE(xdr_long(empty, &value));
    EXPECT_FALSE(xdrrec_skiprecord(empty));
}

} // namespace
} // namespace kl

// The record stream driven with bytes alone: what leaves in each send call,
// and how records are read back from input that arrives in pieces.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "peer/test_peer.h"
#include "platform/platform.h"
#include "transport/record_stream.h"

namespace kl::test {
namespace {

// In-memory I/O: each send noted (first 8 bytes, size, whether more follows);
// receives hand out at most chunk bytes of the input, then a closed connection.
struct MemoryIo {
    std::vector<std::string> sent;
    Bytes input;
    std::size_t at = 0, chunk = 4096;
    int receive_calls = 0;

    StreamIo io() {
        auto send = [](void* c, const std::uint8_t* data, std::size_t n, bool more) -> long {
            static_cast<MemoryIo*>(c)->sent.push_back(
                to_hex(Bytes(data, data + std::min<std::size_t>(n, 8))) + " /" + std::to_string(n) +
                (more ? " more" : ""));
            return static_cast<long>(n);
        };
        auto receive = [](void* c, std::uint8_t* data, std::size_t n) -> long {
            auto* self = static_cast<MemoryIo*>(c);
            ++self->receive_calls;
            const std::size_t m = std::min({n, self->chunk, self->input.size() - self->at});
            std::copy_n(self->input.begin() + static_cast<std::ptrdiff_t>(self->at), m, data);
            self->at += m;
            return static_cast<long>(m);
        };
        return {send, receive, this};
    }
    void add(const Bytes& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }
};

struct StreamTest : ::testing::Test {
    MemoryIo mem;
    RecordStream stream;
    void SetUp() override { ASSERT_TRUE(stream.open(mem.io())); }

    // Reads a record into an area of the given size: the bytes kept, or "failed".
    std::string read(std::size_t area_size = 64, std::size_t* dropped = nullptr) {
        Bytes area(area_size);
        const std::optional<Received> got = stream.read_record(area);
        if (!got) return "failed";
        if (dropped) *dropped = got->dropped;
        return to_hex(Bytes(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(got->kept)));
    }
};

TEST_F(StreamTest, RecordsAreWrittenIn1020ByteFragmentsAndReadFromAnyFragmentsAndChunks) {
    // Length word + 2048 bytes = 2052 bytes of record data.  Only the last
    // fragment's send releases what the system may hold back.
    ASSERT_TRUE(stream.write_record(Bytes(2048, 0xAB)));
    EXPECT_EQ(mem.sent, (std::vector<std::string>{"00 00 03 FC 00 00 08 00 /1024 more",
                                                  "00 00 03 FC AB AB AB AB /1024 more",
                                                  "00 00 80 0C AB AB AB AB /16"}));
    // 4-byte length word + 1016 bytes fill one fragment exactly: an empty
    // last fragment ends the record.
    mem.sent.clear();
    ASSERT_TRUE(stream.write_record(Bytes(1016, 0x11)));
    EXPECT_EQ(mem.sent,
              (std::vector<std::string>{"00 00 03 FC 00 00 03 F8 /1024 more", "00 00 80 00 /4"}));

    // 6 data bytes (plus padding) in three fragments, arriving one byte per receive.
    mem.add(hex("00 00 00 03 00 00 00"             // start of the length word
                "00 00 00 03 06 01 02"             // rest of the word, 2 bytes
                "00 00 80 06 03 04 05 06 00 00")); // 4 bytes + padding
    mem.chunk = 1;
    EXPECT_EQ(read(), "01 02 03 04 05 06");
    mem.chunk = 4096;
    // What does not fit the area is dropped; the next record stays in step.
    mem.add(hex("00 00 00 08 00 00 00 0C AA AA AA AA"
                "00 00 80 08 BB BB BB BB CC CC CC CC"));
    // Bit 15 is the flag, every other bit the length (0x10010); of the length
    // word only the low 16 bits count (12 bytes); the next read skips the rest.
    Bytes wide = hex("00 01 80 10 00 01 00 0C");
    wide.resize(wide.size() + 0x1000C, 0x5A);
    mem.add(wide);
    // A header with its top bit set is a length, not a negative count.
    mem.add(hex("80 00 80 08 00 00 00 04 01 02 03 04"));

    std::size_t dropped = 0;
    EXPECT_EQ(read(2, &dropped), "AA AA");
    EXPECT_EQ(dropped, 10u);
    EXPECT_EQ(read(), "5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A");
    EXPECT_EQ(read(), "01 02 03 04");
}

TEST_F(StreamTest, ReadsFailWhenTheRecordOrTheConnectionEnds) {
    // The record ends after 4 data bytes but 8 are announced.
    mem.add(hex("00 00 80 08 00 00 00 08 01 02 03 04"));
    EXPECT_EQ(read(), "failed");
    // Closed mid-record: the read fails instead of asking the closed socket again.
    mem.add(hex("00 00 80 10 00 00 00 0C 01 02"));
    const int calls = mem.receive_calls;
    EXPECT_EQ(read(), "failed");
    EXPECT_LE(mem.receive_calls - calls, 2);
}

TEST(RecordStreamOpen, ReportsBuffersItCannotGetAndAClosedStreamFails) {
    for (int allowed : {0, 1}) { // the state, then the buffers
        MemoryIo mem;
        RecordStream stream;
        platform::set_allocation_failures_after(allowed);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(stream.open(mem.io()));
        platform::set_allocation_failures_after(-1);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "xdrrec_create: out of memory\n");
        EXPECT_FALSE(stream.is_open());
        Bytes area(8);
        EXPECT_FALSE(stream.write_record(area));
        EXPECT_FALSE(stream.read_record(area));
    }
}

} // namespace
} // namespace kl::test

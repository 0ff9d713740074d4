// klgetinfo and klgetindexinfo against the test peer, in both byte orders:
// the request bytes, the answers the library gives itself, and answers
// longer than the answer area.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "library_fixture.h"

namespace kl::test {
namespace {

using CatalogueTest = InstanceTest;

Bytes blanks(const std::string& text, std::size_t size) {
    Bytes out(size, ' ');
    std::copy(text.begin(), text.end(), out.begin());
    return out;
}

std::vector<char> as_chars(const Bytes& bytes) {
    return std::vector<char>(bytes.begin(), bytes.end());
}

TEST_P(CatalogueTest, GetInfoRequestAndAnswer) {
    // One value of each size; the 4-byte one is a number in this
    // machine's order.
    const std::int32_t number = 0x01020304;
    Bytes number_here(4);
    std::memcpy(number_here.data(), &number, 4);
    const Bytes values =
        join({blanks("ORDERS", 32), Bytes(255, 'x'), Bytes(131, 'y'), number_here});
    const kl_long qualifier_items[] = {202, 109, 630, 405, 0};
    const kl_long buffer_items[] = {305, 306, 310, 0};

    answer(StatusRecord{}.count(2), Bytes{'A', 'B', 'C', 'D'});
    std::vector<char> buffer(16, '#');
    klstatus st{};
    ASSERT_EQ(klgetinfo(instance, "COUNT=5;X", &st, qualifier_items, as_chars(values).data(),
                        buffer_items, buffer.data()),
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
    auto cursor = new_block<kl_cursor_t>();
    cursor->server_cursor = ServerId{{0xC0, 0x00, 0x00, 0x07}};
    std::int32_t cursor_number = 0;
    ASSERT_EQ(client_tables.cursors.add(cursor, cursor_number), 0);

    // A client number in this machine's order followed by a text.
    auto numbered = [](std::int32_t n, const std::string& text) {
        std::vector<char> out(4 + text.size() + 1, '\0');
        std::memcpy(out.data(), &n, 4);
        std::memcpy(out.data() + 4, text.data(), text.size());
        return out;
    };
    auto text = [](const std::string& t) {
        return std::vector<char>(t.c_str(), t.c_str() + t.size() + 1);
    };
    struct Case {
        const char* name;
        std::vector<kl_long> qualifier_items;
        std::vector<char> qualifiers;
        kl_long buffer_item;
        std::int32_t error;
        std::int32_t info;
        std::string status_text;
        Bytes answer; // the bytes written to the caller's buffer
    };
    const Case cases[] = {
        {"instance identifier", {1, 1102}, numbered(1, "prod rest"), 0, 0, 0, "", instance_id},
        {"cursor identifier",
         {801, 1102},
         numbered(cursor_number, "PROD x"),
         0,
         0,
         0,
         "",
         {0xC0, 0x00, 0x00, 0x07}},
        {"node name", {1102}, {}, 1102, 0, 0, "", blanks("PROD", 32)},
        {"byte order",
         {1102},
         text("Prod "),
         1099,
         0,
         0,
         "",
         number_bytes(big() ? 1 : 0, 4, false)},
        {"unknown instance", {1, 1102}, numbered(5, "PROD x"), 0, 11008, 1, "", {}},
        {"unknown cursor", {801, 1102}, numbered(9, "PROD x"), 0, 11042, 1, "", {}},
        {"no item 1102", {1, 302}, numbered(1, "PROD x"), 0, 10088, 0, "", {}},
        {"node name cut short", {1, 1102}, numbered(1, "PRO x"), 0, 18015, 0, "PRO x", {}},
        {"byte order of another node", {1102}, text("TEST "), 1099, 18015, 0, "TEST ", {}},
        {"node with another buffer item", {1102}, {}, 305, 18032, 0, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<kl_long> q = c.qualifier_items;
        q.push_back(0);
        const kl_long b[] = {c.buffer_item, 0};
        Bytes buffer(40, '#');
        klstatus st{};
        st.warn = 3;
        EXPECT_EQ(klgetinfo(instance, "", &st, q.data(), c.qualifiers.data(), b,
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
    Bytes long_data(2100, 'd');
    answer(StatusRecord{}, long_data);
    answer(StatusRecord{}, long_data);
    std::vector<char> buffer(2200, '#');
    const kl_long items[] = {0};
    klstatus st{};
    ASSERT_EQ(klgetinfo(instance, "", &st, items, nullptr, items, buffer.data()), 0u);
    EXPECT_EQ(buffer[1859], 'd');
    EXPECT_EQ(buffer[1860], '#');
    std::fill(buffer.begin(), buffer.end(), '#');
    ASSERT_EQ(klgetindexinfo(instance, "", &st, "T", buffer.data()), 0u);
    EXPECT_EQ(buffer[1859], 'd');
    EXPECT_EQ(buffer[1860], '#');
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, CatalogueTest, ::testing::Bool(), byte_order_name);

} // namespace
} // namespace kl::test

// The calls the other end-to-end suites leave out, against the reference
// server in each of its modes: qualify and assigned values, fetch keys,
// the two join calls, cursor close, version records and the information
// calls.
#include <array>
#include <cstring>

#include "server_fixture.h"

namespace kl::test {
namespace {

class CallsTest : public ServerTest {
  protected:
    // Rows a selection on orders finds.
    kl_long rows(kl_long cursor, const char* criteria) {
        return select(cursor, "orders", "id", criteria).count;
    }
    // A 32-bit number of a record in the server's order, in ours.
    kl_long number(const char* at) {
        kl_long v = 0;
        std::memcpy(&v, at, 4);
        return big_endian() ? ltol(v, &v) : v;
    }
};

TEST_P(CallsTest, AssignedValuesFillPlaceholdersAndQualifyNarrows) {
    const kl_long cursor = open_cursor(connect());
    const kl_long expected_any = rows(cursor, "customer = 3 OR customer = 5");
    const kl_long expected_big = rows(cursor, "(customer = 3 OR customer = 5) AND quantity > 10");
    ASSERT_GT(expected_any, expected_big);

    const klstatus sel = select(cursor, "orders", "id", "customer = ?");
    EXPECT_EQ(sel.valuesize, 32); // one 32-byte text per placeholder
    EXPECT_EQ(sel.count, 0);      // nothing until values come
    std::array<char, 64> values;
    values.fill(' ');
    values[0] = '3';
    values[32] = '5';
    klstatus st{};
    ASSERT_EQ(klassignvalues(cursor, "", &st, "CUSTOMER", 2, values.data()), 0u) << message(st);
    EXPECT_EQ(st.count, expected_any);

    ASSERT_EQ(klqualify(cursor, "", &st, "", "orders", "", "quantity > 10"), 0u) << message(st);
    EXPECT_EQ(st.valuesize, expected_big);
    EXPECT_EQ(fetch_all(cursor, sel.bufflen).size(), static_cast<std::size_t>(expected_big));

    EXPECT_EQ(klqualify(cursor, "", &st, "", "customers", "", ""), 20010u);
}

TEST_P(CallsTest, FetchKeysNameTheNextRecordsWithoutMovingOn) {
    const kl_long cursor = open_cursor(connect());
    const klstatus sel = select(cursor, "products", "id", "id <= 5");
    const auto key = [&](const std::array<char, 64>& keys, int k) {
        std::int64_t v = 0;
        for (int b = 0; b < 8; ++b) {
            const auto byte = static_cast<std::uint8_t>(keys[static_cast<std::size_t>(8 * k + b)]);
            v |= std::int64_t{byte} << (8 * (big_endian() ? 7 - b : b));
        }
        return v;
    };
    std::array<char, 64> keys{};
    klstatus st{};
    ASSERT_EQ(klfetchkeys(cursor, "", &st, 3, keys.data()), 0u) << message(st);
    ASSERT_EQ(st.count, 3);
    EXPECT_EQ(key(keys, 0), 1);
    EXPECT_EQ(key(keys, 2), 3);

    std::array<char, 8> records{};
    ASSERT_EQ(klfetch(cursor, "", &st, 2, records.data()), 0u);
    EXPECT_EQ(number(records.data() + 4), 2);
    ASSERT_EQ(klfetchkeys(cursor, "", &st, 8, keys.data()), 0u);
    ASSERT_EQ(st.count, 3); // only three are left
    EXPECT_EQ(key(keys, 0), 3);
    EXPECT_EQ(key(keys, 2), 5);
    EXPECT_EQ(sel.bufflen, 4);
}

TEST_P(CallsTest, BothJoinCallsJoinAlikeAndAClosedCursorIsGone) {
    const kl_long instance = connect();
    kl_long counts[2] = {};
    for (int k = 0; k < 2; ++k) {
        const kl_long cursor = open_cursor(instance);
        select(cursor, "orders", "id,customer", "id <= 20");
        klstatus st{};
        const uint32_t r =
            k == 0 ? kljoin(cursor, "", &st, "orders", "customer", 12345, "customers", "id")
                   : kljoin303(cursor, "", &st, "orders", "customer", "customers", "id");
        ASSERT_EQ(r, 0u) << message(st);
        counts[k] = st.valuesize;
        EXPECT_EQ(klclosecursor(cursor, "", &st), 0u);
        EXPECT_EQ(klselect(cursor, "", &st, "orders", "*", ""), 11042u);
    }
    EXPECT_EQ(counts[0], 20);
    EXPECT_EQ(counts[1], 20);
}

TEST_P(CallsTest, VersionRecordsAndInformationCalls) {
    const kl_long instance = connect();
    std::array<klversion_record, 4> records{};
    klstatus st{};
    ASSERT_EQ(klversion(instance, "", &st, "test", 0, records.data()), 0u) << message(st);
    ASSERT_EQ(st.count, 2);
    EXPECT_STREQ(records[0].na_name, "KLSERV");
    EXPECT_EQ(records[0].version, 100); // converted to our order
    EXPECT_STREQ(records[1].na_name, on_postgres() ? "PGSQL" : "SQLITE");

    char host_version[8] = {};
    EXPECT_EQ(apihostversion(host_version), 0u);
    EXPECT_EQ(std::string(host_version, 8), "KLS 1.0 ");
    std::uint16_t host_type = 0;
    EXPECT_EQ(apiinfo(0, "hosttype", nullptr, &host_type), 0u);
    EXPECT_EQ(host_type, big_endian() ? 2 : 1);
    char version[8] = {};
    EXPECT_EQ(apiversion(version), 0u); // its boxes go to standard error here
    EXPECT_STREQ(version, "1.6.25");
    std::uint8_t two[2];
    EXPECT_EQ(itoi(0x0102, two), 0x0201);

    // apierror explains a result code; a server error is category 0.
    const kl_long cursor = open_cursor(instance);
    const uint32_t failed = klselect(cursor, "", &st, "nosuch", "*", "");
    char text[256] = {};
    apierror(failed, &st, text);
    EXPECT_NE(std::string(text), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, CallsTest,
                         ::testing::Values(ServerMode::little_endian, ServerMode::big_endian,
                                           ServerMode::standalone),
                         mode_name);

} // namespace
} // namespace kl::test

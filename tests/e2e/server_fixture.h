// End-to-end test support: a real klserver in process (127.0.0.1, ephemeral
// ports) over a fresh sample, on SQLite or on PostgreSQL (test_backend.h),
// and the library connected to it through an environment file.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "klsrv32.h"
#include "library_fixture.h"
#include "listener.h"
#include "raw_client.h"
#include "sample.h"
#include "test_backend.h"

namespace kl::test {

// Numbers in little- or big-endian order, or the client served on its
// dispatcher connection.
enum class ServerMode { little_endian, big_endian, standalone };

inline std::string mode_name(const ::testing::TestParamInfo<ServerMode>& info) {
    return std::array{"LittleEndian", "BigEndian", "Standalone"}[static_cast<int>(info.param)];
}

// A suite runs every mode only where numbers cross the wire in the
// server's order or the connect path differs (the backend is the
// program's, see test_backend.h).
#define KL_SERVER_MODES(suite, ...)                                                                \
    INSTANTIATE_TEST_SUITE_P(Modes, suite, ::testing::Values(__VA_ARGS__), ::kl::test::mode_name)

// Rows in the sample's orders table for these tests.
constexpr int sample_orders = 300;

// A running server over its own data folder (SQLite) or its own schemas
// (PostgreSQL); configure, when given, changes its configuration.
class RunningServer {
  public:
    RunningServer(const std::filesystem::path& dir, ServerMode mode,
                  const std::function<void(kls::ServerConfig&)>& configure = {}) {
        std::filesystem::create_directories(dir / "data");
        kls::ServerConfig config;
        config.data_dir = (dir / "data").string();
        config.export_dir = (dir / "exports").string();
        std::filesystem::create_directories(config.export_dir);
        config.big_endian = mode == ServerMode::big_endian;
        config.standalone = mode == ServerMode::standalone;
        if (configure) configure(config);
        storage_ = make_test_storage(dir / "data", config.write_wait_seconds, config.users);
        config.storage = storage_;
        std::string error;
        if (!kls::create_sample(*storage_, "sales", sample_orders, error)) ADD_FAILURE() << error;
        server_ = std::make_unique<kls::Server>(config);
        if (!server_->start("127.0.0.1", 0, 0, error)) ADD_FAILURE() << error;
        thread_ = std::thread([this] { server_->run(); });
    }
    ~RunningServer() {
        server_->stop();
        thread_.join();
    }
    kls::Server& server() { return *server_; }
    std::uint16_t port() const { return server_->dispatcher_port(); }
    kls::Storage& storage() { return *storage_; }
    // Runs statements on database `name` with the server's own rights
    // (made new first when fresh).
    void execute(const std::string& name, const std::string& sql, bool fresh = false) {
        std::string error;
        const auto db = storage_->administer(name, fresh, error);
        ASSERT_TRUE(db) << error;
        ASSERT_TRUE(db->exec(sql)) << db->last_error();
    }

  private:
    std::shared_ptr<kls::Storage> storage_;
    std::unique_ptr<kls::Server> server_;
    std::thread thread_;
};

// A call that must succeed, with the text of the status st otherwise.
#define KL_OK(call) ASSERT_EQ((call), 0u) << message(st)

// The identifier an answer carries after its status (a new instance or
// cursor); zeros when the request failed.
inline RawBytes id_of(const std::optional<RawStatus>& st) {
    EXPECT_TRUE(st && st->error == 0 && st->data.size() >= 4)
        << (st ? st->error : -1) << " " << (st ? st->text : "no answer");
    return st && st->data.size() >= 4 ? RawBytes(st->data.begin(), st->data.begin() + 4)
                                      : RawBytes(4, 0);
}
inline RawBytes open_instance(RawClient& client, const std::string& file = "sales",
                              const std::string& options = "") {
    return id_of(client.exchange(RawClient::connect_request(file, options)));
}

// A private directory and the test's server, stopped after the library has
// let go of it.
class ServerFolderTest : public WindirTest {
  protected:
    void TearDown() override {
        reset_process_state();
        server.reset();
        WindirTest::TearDown();
    }
    std::unique_ptr<RunningServer> server;
};

// The library against a server in the test's mode.
class ServerTest : public ServerFolderTest, public ::testing::WithParamInterface<ServerMode> {
  protected:
    void SetUp() override {
        WindirTest::SetUp();
        server = std::make_unique<RunningServer>(
            dir, GetParam(), [this](kls::ServerConfig& config) { configure(config); });
        environment = write_environment(test_password());
        // A message file without the server's numbers, so klerror asks the
        // server for their texts.
        write_file("talvern.ini",
                   "[Kelora]\nKLGlobal=" + write_file("messages.ini", "[ENVIRONMENT KLGLOBAL]\n"));
    }
    virtual void configure(kls::ServerConfig&) {}

    // An environment file for the sample; the library sends a password
    // only with a dbdirect key.
    std::string write_environment(const std::string& password) {
        return write_environment_file("dbdirect=x\n" +
                                          (password.empty() ? "" : "password=" + password + "\n"),
                                      node_at(server->port()), "env.ini");
    }

    kl_long connect(const char* options = "") {
        return WindirTest::connect(environment, options, test_user().c_str());
    }
    kl_long open_cursor(kl_long instance) {
        klstatus st{};
        kl_long cursor = 0;
        EXPECT_EQ(klopencursor(instance, "", &st, &cursor), 0u) << message(st);
        return cursor;
    }
    // The status of a selection (record length in bufflen).
    klstatus select(kl_long cursor, const char* table, const char* columns = "*",
                    const char* criteria = "", const char* options = "") {
        klstatus st{};
        EXPECT_EQ(klselect(cursor, options, &st, table, columns, criteria), 0u) << message(st);
        return st;
    }
    // Every record left, fetched in calls of `batch`.
    std::vector<std::string> fetch_all(kl_long cursor, int record_length, int batch = 50) {
        std::vector<std::string> records;
        std::vector<char> area(static_cast<std::size_t>(record_length) * batch);
        for (;;) {
            klstatus st{};
            const uint32_t r = klfetch(cursor, "", &st, batch, area.data());
            for (int k = 0; k < st.count; ++k)
                records.emplace_back(area.data() + k * record_length, record_length);
            if (r != 0 || st.count < batch) break;
        }
        return records;
    }
    // The first field (32 characters) of each record.
    static std::vector<std::string> first_fields(const std::vector<std::string>& records) {
        std::vector<std::string> found;
        for (const std::string& record : records)
            found.push_back(field_text(record, 0, 32));
        return found;
    }
    // The first field of every record a character-form selection finds.
    std::vector<std::string> ids(kl_long cursor, const char* table, const char* criteria,
                                 const std::string& options = "") {
        const std::string form = "CHAR " + options;
        return first_fields(
            fetch_all(cursor, select(cursor, table, "id", criteria, form.c_str()).bufflen));
    }
    // The server's message text for a status, through klerror.
    std::string message(klstatus st) {
        char text[256] = {};
        klerror(&st, "", text);
        return std::to_string(st.error) + ": " + text + " [" +
               std::string(st.buffer, strnlen(st.buffer, sizeof st.buffer)) + "]";
    }
    // Binary numbers travel in the server's order, untouched by the library.
    template <class T> T get(const char* at) const {
        T v;
        std::memcpy(&v, at, sizeof v);
        put(reinterpret_cast<char*>(&v), v);
        return v;
    }
    template <class T> void put(char* at, T v) const {
        std::memcpy(at, &v, sizeof v);
        if (GetParam() == ServerMode::big_endian) std::reverse(at, at + sizeof v);
    }
    // A record's field as text with its padding trimmed.
    static std::string field_text(const std::string& record, std::size_t offset,
                                  std::size_t length) {
        std::string text = record.substr(offset, length);
        text = text.substr(0, text.find('\0'));
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }

    std::string environment;
};

// A little-endian server for tests that speak the wire protocol themselves
// (RawClient); start() takes the changes to the configuration.
class RawServerTest : public ServerFolderTest {
  protected:
    void start(const std::function<void(kls::ServerConfig&)>& configure = {}) {
        server.reset();
        server = std::make_unique<RunningServer>(dir, ServerMode::little_endian, configure);
    }
    static RawBytes open_cursor(RawClient& client, const RawBytes& instance) {
        return id_of(client.exchange(RawClient::id_request(303, instance)));
    }
    // The answer to a selection on cursor (error -1: none came).
    static RawStatus select(RawClient& client, const RawBytes& cursor, const std::string& table,
                            const std::string& columns, const std::string& criteria = "",
                            const std::string& options = "") {
        return client
            .exchange(RawClient::packed_request(307, cursor, {table, columns, criteria, options}))
            .value_or(RawStatus{-1});
    }

    // A command, its input in records of up to 2046 bytes; the answer's
    // status (error -1: none within timeout_ms).
    static RawStatus command(RawClient& client, const RawBytes& instance, const std::string& input,
                             int timeout_ms = 5000) {
        RawBytes request = RawClient::packed_request(325, instance, {});
        put_number(request, static_cast<std::uint32_t>(input.size()), 4, false);
        request.push_back(0); // no options
        bool sent = client.send_record(request);
        for (std::size_t at = 0; at < input.size(); at += 2046) {
            const std::size_t n = std::min<std::size_t>(2046, input.size() - at);
            RawBytes record(2 + n, 0);
            std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(at), n, record.begin() + 2);
            sent = sent && client.send_record(record);
        }
        const auto answer = sent ? client.read_record(timeout_ms) : std::nullopt;
        return answer ? parse_status(*answer) : RawStatus{-1};
    }
    // An insert of row; table, columns and options in a 256-byte area.
    static RawBytes insert_request(const RawBytes& instance, const std::vector<std::string>& texts,
                                   const std::string& row) {
        RawBytes r = RawClient::packed_request(314, instance, texts);
        r.resize(2 + 4 + 256, 0);
        r.insert(r.end(), row.begin(), row.end());
        return r;
    }
};

} // namespace kl::test

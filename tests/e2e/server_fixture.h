// End-to-end test support: a real klserver (in process, on 127.0.0.1 with
// ephemeral ports) over a fresh copy of the sample database, and the
// library connected to it through an environment file, in each of the
// server's modes: little-endian, big-endian and standalone; on SQLite, or
// on PostgreSQL when the environment asks for it (test_backend.h).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
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

enum class ServerMode { little_endian, big_endian, standalone };

inline std::string mode_name(const ::testing::TestParamInfo<ServerMode>& info) {
    switch (info.param) {
    case ServerMode::little_endian:
        return "LittleEndian";
    case ServerMode::big_endian:
        return "BigEndian";
    case ServerMode::standalone:
        return "Standalone";
    }
    return "Unknown";
}

// Rows in the sample's orders table for these tests.
constexpr int sample_orders = 300;

// A running server over its own data folder (SQLite) or its own schemas
// (PostgreSQL, see test_backend.h).
class RunningServer {
  public:
    // configure, when given, changes the test's configuration (limits).
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
    // Runs statements on database `name` with the server's own rights
    // (made new first when fresh); fails the test when they fail.
    void execute(const std::string& name, const std::string& sql, bool fresh = false) {
        std::string error;
        const auto db = storage_->administer(name, fresh, error);
        ASSERT_TRUE(db) << error;
        ASSERT_TRUE(db->exec(sql)) << db->last_error();
    }
    kls::Storage& storage() { return *storage_; }

  private:
    std::shared_ptr<kls::Storage> storage_;
    std::unique_ptr<kls::Server> server_;
    std::thread thread_;
};

class ServerTest : public ::testing::TestWithParam<ServerMode> {
  protected:
    void SetUp() override {
        reset_library_state();
        dir = os::make_temp_dir();
        os::set_env("KL_WINDIR", dir.string().c_str());
        server = std::make_unique<RunningServer>(
            dir, GetParam(), [this](kls::ServerConfig& config) { configure(config); });
        environment = write_environment("sales");
        // A message file without the server's numbers, so klerror asks the
        // server for their texts.
        std::ofstream(dir / "messages.ini") << "[ENVIRONMENT KLGLOBAL]\n";
        std::ofstream(dir / "talvern.ini")
            << "[Kelora]\nKLGlobal=" << (dir / "messages.ini").string() << "\n";
    }
    void TearDown() override {
        reset_library_state();
        server.reset();
        os::set_env("KL_WINDIR", nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // A test's changes to the server's configuration.
    virtual void configure(kls::ServerConfig&) {}

    // An environment file for the database `file` on the test server.
    std::string write_environment(const std::string& file) {
        const auto path = dir / ("env_" + file + ".ini");
        std::ofstream out(path);
        out << "[environment]\nname=test\n[include]\nNode=TEST\nfilename=" << file << "\n";
        // The library sends a password only with a dbdirect key.
        if (!test_password().empty()) out << "dbdirect=test\npassword=" << test_password() << "\n";
        out << "[Node TEST]\ntransport=tcpsockets\nipaddress=127.0.0.1\nport=" << server->port()
            << "\n";
        return path.string();
    }

    // Connects (options as klconnect takes them); the instance number.
    kl_long connect(const char* options = "") {
        klstatus st{};
        kl_long instance = 0;
        EXPECT_EQ(klconnect(environment.c_str(), options, &st, test_user().c_str(), "", &instance),
                  0u)
            << message(st);
        return instance;
    }
    kl_long open_cursor(kl_long instance) {
        klstatus st{};
        kl_long cursor = 0;
        EXPECT_EQ(klopencursor(instance, "", &st, &cursor), 0u) << message(st);
        return cursor;
    }
    // Selects and returns the status (record length in bufflen).
    klstatus select(kl_long cursor, const char* table, const char* columns = "*",
                    const char* criteria = "", const char* options = "") {
        klstatus st{};
        EXPECT_EQ(klselect(cursor, options, &st, table, columns, criteria), 0u) << message(st);
        return st;
    }
    // Fetches every record left, in calls of `batch`.
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
    // The server's message text for a status, through klerror.
    std::string message(klstatus st) {
        char text[256] = {};
        klerror(&st, "", text);
        return std::to_string(st.error) + ": " + text + " [" +
               std::string(st.buffer, strnlen(st.buffer, sizeof st.buffer)) + "]";
    }
    bool big_endian() const { return GetParam() == ServerMode::big_endian; }

    std::filesystem::path dir;
    std::unique_ptr<RunningServer> server;
    std::string environment;
};

// A little-endian server over its own folder, for tests that speak the
// wire protocol themselves (RawClient); start() takes the changes to the
// configuration a test needs.
class RawServerTest : public ::testing::Test {
  protected:
    void SetUp() override { dir = os::make_temp_dir(); }
    void TearDown() override {
        server.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    void start(const std::function<void(kls::ServerConfig&)>& configure = {}) {
        server = std::make_unique<RunningServer>(dir, ServerMode::little_endian, configure);
    }
    // The identifier an answer carries after its status (a new instance or
    // cursor); zeros when the request failed.
    static RawBytes id_of(const std::optional<RawStatus>& st) {
        EXPECT_TRUE(st && st->error == 0 && st->data.size() >= 4)
            << (st ? st->error : -1) << " " << (st ? st->text : "no answer");
        return st && st->data.size() >= 4 ? RawBytes(st->data.begin(), st->data.begin() + 4)
                                          : RawBytes(4, 0);
    }
    static RawBytes open_instance(RawClient& client, const std::string& file = "sales",
                                  const std::string& options = "") {
        return id_of(client.exchange(RawClient::connect_request(file, options)));
    }
    static RawBytes open_cursor(RawClient& client, const RawBytes& instance) {
        return id_of(client.exchange(RawClient::id_request(303, instance)));
    }

    std::filesystem::path dir;
    std::unique_ptr<RunningServer> server;
};

// A record's field as text with its padding trimmed.
inline std::string field_text(const std::string& record, std::size_t offset, std::size_t length) {
    std::string text = record.substr(offset, length);
    text = text.substr(0, text.find('\0'));
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

} // namespace kl::test

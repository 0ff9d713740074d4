// The server's files stay in its folders: no link is followed out of them, a
// file that is not a database is never written as one, exports replace their
// file whole, and the export folder cannot be the data folder.
#include <iterator>

#include "server_fixture.h"
#include "sqlite_storage.h"

namespace kl::test {
namespace {

namespace fs = std::filesystem;

// A file's bytes and modification time, to see that nothing wrote it.
std::pair<std::string, fs::file_time_type> snapshot(const fs::path& file) {
    return {read_file(file), fs::last_write_time(file)};
}

class FilesTest : public RawServerTest {
  protected:
    void SetUp() override {
        RawServerTest::SetUp();
        start();
        data = dir / "data";
        exports = dir / "exports";
    }
    std::int32_t export_to(const std::string& name) {
        RawClient client(server->port());
        const RawBytes cursor = open_cursor(client, open_instance(client));
        EXPECT_EQ(select(client, cursor, "products", "*").error, 0);
        // 80 bytes of options, then the file's name.
        const auto st =
            client.exchange(RawClient::packed_request(324, cursor, {std::string(80, '\0') + name}));
        return st ? st->error : -1;
    }

    fs::path data, exports;
};

TEST_F(FilesTest, DatabaseFilesAreWrittenOnlyWhereAndWhenTheyShouldBe) {
    if (on_postgres()) GTEST_SKIP() << "database files are the SQLite backend's";
    RawClient client(server->port());
    // A read-only connect never writes the database.
    const auto unread = snapshot(data / "sales.db");
    const RawBytes instance = open_instance(client, "sales", "R");
    const RawBytes cursor = open_cursor(client, instance);
    ASSERT_EQ(select(client, cursor, "orders", "*").error, 0);
    ASSERT_TRUE(client.exchange(RawClient::fetch_request(cursor, 5)));
    const auto closed = client.exchange(RawClient::id_request(302, instance));
    ASSERT_TRUE(closed && closed->error == 0);
    EXPECT_EQ(snapshot(data / "sales.db"), unread);
    const fs::path outside = dir / "outside.db";
    fs::copy_file(data / "sales.db", outside);
    const struct {
        const char* what;
        const char* database;
        const char* link;    // a link to the outside database at this name, or ""
        const char* content; // the database's bytes; nullptr: a copy of the sample
        std::int32_t error;
    } cases[] = {
        {"database is a link", "linked.db", "linked.db", nullptr, 20005},
        {"-wal is a link", "wal.db", "wal.db-wal", nullptr, 20005},
        {"-shm is a link", "shm.db", "shm.db-shm", nullptr, 20005},
        {"-journal is a link", "journal.db", "journal.db-journal", nullptr, 20005},
        {"zero-length file", "empty.db", "", "", 20025},
        {"not a database", "notes.txt", "", "Dear diary: nothing to see here.\n", 20025},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.content != nullptr)
            std::ofstream(data / c.database, std::ios::binary) << c.content;
        else if (std::string(c.database) != c.link)
            fs::copy_file(data / "sales.db", data / c.database);
        if (*c.link != '\0') fs::create_symlink(outside, data / c.link);
        const fs::path watched = *c.link != '\0' ? outside : data / c.database;
        const auto before = snapshot(watched);
        const auto st = client.exchange(RawClient::connect_request(c.database));
        ASSERT_TRUE(st);
        EXPECT_EQ(st->error, c.error) << st->text;
        EXPECT_EQ(snapshot(watched), before);
    }
    // SQLite itself is asked not to follow a link to the database, for a
    // link put there after the server looked.
    std::string error;
    EXPECT_FALSE(kls::open_sqlite_file((data / "linked.db").string(), false, error));

    // A data folder given through a link serves its databases. SQLite refuses a link anywhere in a
    // database's path: the server resolves its folders at start.
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "alias");
    RunningServer linked(dir / "alias", ServerMode::little_endian);
    RawClient through_link(linked.port());
    open_instance(through_link);
}

TEST_F(FilesTest, AnExportReplacesItsFileWholeNeverFollowsALinkNorWritesTheDataFolder) {
    const fs::path outside = dir / "outside.txt";
    std::ofstream(outside) << "precious\n";
    fs::create_symlink(outside, exports / "link.csv");
    std::ofstream(exports / "out.csv") << "old\n";
    // A second name for the old file: written in place, it would change.
    fs::create_hard_link(exports / "out.csv", dir / "kept.csv");
    const auto before = snapshot(outside);
    EXPECT_EQ(export_to("link.csv"), 20020);
    EXPECT_EQ(snapshot(outside), before);
    EXPECT_TRUE(fs::is_symlink(exports / "link.csv"));
    ASSERT_EQ(export_to("out.csv"), 0);
    EXPECT_EQ(snapshot(dir / "kept.csv").first, "old\n");
    EXPECT_EQ(snapshot(exports / "out.csv").first.rfind("id,name,", 0), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(exports), {}), 2); // no file left behind

    // An export folder that is the data folder is refused at start.
    fs::create_directory_symlink(data, dir / "alias");
    const struct {
        const char* what;
        fs::path exports;
        bool starts;
    } cases[] = {
        {"the data folder", data, false},
        {"the data folder through a link", dir / "alias", false},
        {"the default, exports under the data folder", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kls::ServerConfig config;
        config.data_dir = data.string();
        config.export_dir = c.exports.string();
        kls::Server other(config);
        std::string error;
        EXPECT_EQ(other.start("127.0.0.1", 0, 0, error), c.starts) << error;
        EXPECT_EQ(error.find("is the data folder") != std::string::npos, !c.starts) << error;
    }
    EXPECT_TRUE(fs::is_directory(data / "exports"));
}

} // namespace
} // namespace kl::test

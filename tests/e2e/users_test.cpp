// Logins checked against a users file (--users, SQLite) or by PostgreSQL
// (the test cluster's password role): the library sends the environment
// file's password only with [include] dbdirect, and the server answers a
// wrong pair with 20031 (on SQLite without telling which half was wrong).
#include <fstream>

#include "server_fixture.h"
#include "users.h"

namespace kl::test {
namespace {

class UsersTest : public ServerTest {
  protected:
    void configure(kls::ServerConfig& config) override {
        if (on_postgres()) return;
        const std::string path = (dir / "users").string();
        std::string error;
        ASSERT_TRUE(kls::add_user(path, "alice", "right horse", error)) << error;
        std::optional<kls::UserFile> users = kls::UserFile::load(path, error);
        ASSERT_TRUE(users) << error;
        config.users = std::make_shared<const kls::UserFile>(std::move(*users));
    }

    // An environment file that sends the password (none when empty).
    std::string environment_with(const std::string& password) {
        const auto path = dir / "env_login.ini";
        std::ofstream out(path);
        out << "[environment]\nname=test\n[include]\nNode=TEST\nfilename=sales\ndbdirect=x\n";
        if (!password.empty()) out << "password=" << password << "\n";
        out << "[Node TEST]\ntransport=tcpsockets\nipaddress=127.0.0.1\nport=" << server->port()
            << "\n";
        return path.string();
    }
};

TEST_P(UsersTest, OnlyTheRightPairConnects) {
    const std::string user = on_postgres() ? test_user() : "alice";
    const std::string right = on_postgres() ? test_password() : "right horse";
    struct Case {
        std::string user;
        std::string password;
        std::uint32_t result;
    };
    // Refusals first: they leave the connection not logged in, and the
    // right pair still logs it in afterwards.
    const Case cases[] = {
        {user, "wrong horse", 20031},
        {"nobody", right, 20031},
        {user, "", 20031},
        {user, right, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user + " / " + c.password);
        const std::string env = environment_with(c.password);
        klstatus st{};
        kl_long instance = 0;
        // klconnect's own password argument is never sent.
        EXPECT_EQ(klconnect(env.c_str(), "", &st, c.user.c_str(), right.c_str(), &instance),
                  c.result)
            << message(st);
        if (c.result != 0) {
            // PostgreSQL gives its own reason.
            if (!on_postgres()) {
                EXPECT_STREQ(st.buffer, "user or password");
            }
            continue;
        }
        klstatus done{};
        EXPECT_EQ(kldisconnect(instance, "", &done), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, UsersTest, ::testing::Values(ServerMode::little_endian), mode_name);

} // namespace
} // namespace kl::test

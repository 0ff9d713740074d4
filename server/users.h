// Who may connect to a SQLite-backed server: a users file of user names
// with salted password hashes (libsodium's argon2id password hashing).
//
// The file holds one user a line, "name:hash", where hash is the text
// crypto_pwhash_str makes ("$argon2id$v=19$m=65536,t=2,p=1$salt$hash").
// Names are plain words of at most 30 characters, without ':' or white
// space, and compared exactly (letter case counts).  `klserver --add-user`
// writes it; the server reads it once at start (--users FILE).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "wire.h"

namespace kls {

struct Login;

// The longest user name, and the longest password the library sends (its
// environment file's password is cut to 31 characters).
constexpr std::size_t max_user_name = 30;
constexpr std::size_t max_password = 31;

bool valid_user_name(std::string_view name);

class UserFile {
  public:
    // Reads the users file; nullopt with the reason in error when it
    // cannot be read or a line is not "name:hash" with a hash made with
    // this server's limits (a hash with other limits could make a
    // verification take any amount of memory).
    static std::optional<UserFile> load(const std::string& path, std::string& error);

    // Whether the password is the user's.  An unknown user costs the same
    // work as a known one (a dummy hash is verified), so the time taken
    // does not tell which names exist.  One verification runs at a time in
    // the process, whichever UserFile asks: each takes 64 MiB for a moment,
    // and a flood of connects must not add them up.  Safe to call from
    // several threads.
    bool check(std::string_view user, std::string_view password) const;

    std::size_t size() const { return hashes_.size(); }

  private:
    std::map<std::string, std::string, std::less<>> hashes_;
    std::string dummy_; // the hash verified for an unknown user
};

// Adds the user to the users file at path, or gives a user already there
// the new password; the file (made when missing) is written whole to a
// temporary file, synced and renamed over the old one, mode 0600.  False
// with the reason in error for a bad name, an empty or too long password,
// or a file that cannot be read or written.
bool add_user(const std::string& path, std::string_view name, std::string_view password,
              std::string& error);

// The connect's login against the users file: ok when there is none
// (nullptr) or the pair is right, else 20031 (without telling whether the
// name or the password was wrong).
Status check_login(const UserFile* users, const Login& login);

} // namespace kls

// The users file and the login check.  All hashing and verification is
// libsodium's; this file only stores its strings.
#include "users.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "server_errors.h"
#include "storage.h"

namespace kls {

namespace {

// libsodium's limits for interactive logins: about a tenth of a second and
// 64 MiB per hash.  The moderate and sensitive limits take seconds and up
// to 1 GiB, too slow for a connect; lower limits would make a stolen file
// cheaper to guess.  The memory is bounded by letting one verification run
// at a time.
constexpr unsigned long long ops_limit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
constexpr std::size_t mem_limit = crypto_pwhash_MEMLIMIT_INTERACTIVE;

std::mutex& hashing_turn() {
    static std::mutex turn;
    return turn;
}

bool sodium_ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The hash string of a password, or "" when hashing failed (no memory).
std::string hash_password(std::string_view password) {
    if (!sodium_ready()) return {};
    char out[crypto_pwhash_STRBYTES] = {};
    const std::lock_guard lock(hashing_turn());
    if (crypto_pwhash_str(out, password.data(), password.size(), ops_limit, mem_limit) != 0)
        return {};
    return out;
}

using Users = std::vector<std::pair<std::string, std::string>>;

// Reads the users in file order.  missing tells a file that does not exist
// from one that cannot be read.
bool read_users(const std::string& path, Users& users, bool& missing, std::string& error) {
    missing = false;
    std::ifstream in(path);
    if (!in) {
        missing = errno == ENOENT;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!sodium_ready()) {
        error = "libsodium does not initialise";
        return false;
    }
    std::set<std::string, std::less<>> names;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty()) continue;
        const std::string where = path + " line " + std::to_string(number) + ": ";
        const std::size_t colon = line.find(':');
        const std::string name = line.substr(0, colon);
        if (colon == std::string::npos || !valid_user_name(name)) {
            error = where + "not name:hash with a plain name";
            return false;
        }
        const std::string hash = line.substr(colon + 1);
        // 0: an argon2id hash with our limits; 1: other limits; -1: no hash.
        if (crypto_pwhash_argon2id_str_needs_rehash(hash.c_str(), ops_limit, mem_limit) != 0) {
            error = where + "not a hash made by klserver --add-user";
            return false;
        }
        if (!names.insert(name).second) {
            error = where + "user " + name + " listed twice";
            return false;
        }
        users.emplace_back(name, hash);
    }
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    return true;
}

// Writes the users to a temporary file beside path, syncs it and renames it
// over path.
bool write_users(const std::string& path, const Users& users, std::string& error) {
    std::string text;
    for (const auto& [name, hash] : users)
        text += name + ":" + hash + "\n";
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data()); // mode 0600
    if (fd < 0) {
        error = temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        error = path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
    }
    return ok;
}

} // namespace

bool valid_user_name(std::string_view name) {
    if (name.empty() || name.size() > max_user_name) return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == ':' || u <= ' ' || u == 0x7F) return false;
    }
    return true;
}

std::optional<UserFile> UserFile::load(const std::string& path, std::string& error) {
    Users users;
    bool missing = false;
    if (!read_users(path, users, missing, error)) return std::nullopt;
    UserFile file;
    for (auto& [name, hash] : users)
        file.hashes_.emplace(std::move(name), std::move(hash));
    // A hash of a random password nobody knows, made with the same limits.
    unsigned char secret[16];
    randombytes_buf(secret, sizeof secret);
    file.dummy_ = hash_password({reinterpret_cast<const char*>(secret), sizeof secret});
    if (file.dummy_.empty()) {
        error = "cannot hash a password (out of memory)";
        return std::nullopt;
    }
    return file;
}

bool UserFile::check(std::string_view user, std::string_view password) const {
    const auto it = hashes_.find(user);
    const std::string& hash = it != hashes_.end() ? it->second : dummy_;
    int verified = -1;
    {
        const std::lock_guard lock(hashing_turn());
        verified = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size());
    }
    return it != hashes_.end() && verified == 0;
}

bool add_user(const std::string& path, std::string_view name, std::string_view password,
              std::string& error) {
    if (!valid_user_name(name)) {
        error = "a user name is a word of 1 to " + std::to_string(max_user_name) +
                " characters without ':' or white space";
        return false;
    }
    if (password.empty() || password.size() > max_password) {
        error = "a password has 1 to " + std::to_string(max_password) +
                " characters (the library sends no more)";
        return false;
    }
    Users users;
    bool missing = false;
    if (!read_users(path, users, missing, error) && !missing) return false;
    std::string hash = hash_password(password);
    if (hash.empty()) {
        error = "cannot hash the password (out of memory)";
        return false;
    }
    bool replaced = false;
    for (auto& [user, old] : users)
        if (user == name) {
            old = hash;
            replaced = true;
        }
    if (!replaced) users.emplace_back(std::string(name), std::move(hash));
    return write_users(path, users, error);
}

Status check_login(const UserFile* users, const Login& login) {
    if (users == nullptr || users->check(login.user, login.password)) return Status{};
    return error_status(err_login, "user or password");
}

} // namespace kls

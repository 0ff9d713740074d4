#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kls {

namespace {

namespace fs = std::filesystem;

// The first 16 bytes of every SQLite database file.
constexpr char database_header[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                      'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
constexpr std::size_t export_buffer = 64 * 1024;

// Reads up to n bytes from the start of the file; the count read.
std::size_t read_start(int fd, char* to, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, to + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

} // namespace

bool prepare_folders(std::string& data_dir, std::string& export_dir, std::string& error) {
    std::error_code ec;
    if (data_dir.empty()) {
        // Tables elsewhere (PostgreSQL): only the export folder is needed.
        if (export_dir.empty()) {
            error = "no data folder and no export folder";
            return false;
        }
        fs::create_directories(export_dir, ec);
        const fs::path exports = ec ? fs::path() : fs::canonical(export_dir, ec);
        if (ec || !fs::is_directory(exports, ec)) {
            error = "export folder " + export_dir + ": " + (ec ? ec.message() : "not a folder");
            return false;
        }
        export_dir = exports.string();
        return true;
    }
    const fs::path data = fs::canonical(data_dir, ec);
    if (ec || !fs::is_directory(data, ec)) {
        error = "data folder " + data_dir + ": " + (ec ? ec.message() : "not a folder");
        return false;
    }
    if (export_dir.empty()) export_dir = (data / "exports").string();
    fs::create_directories(export_dir, ec);
    const fs::path exports = ec ? fs::path() : fs::canonical(export_dir, ec);
    if (ec || !fs::is_directory(exports, ec)) {
        error = "export folder " + export_dir + ": " + (ec ? ec.message() : "not a folder");
        return false;
    }
    if (fs::equivalent(data, exports, ec)) {
        error = "export folder " + export_dir +
                " is the data folder: an export could replace a database";
        return false;
    }
    data_dir = data.string();
    export_dir = exports.string();
    return true;
}

// SQLite opens the files itself, after these checks.  It is asked not to
// follow a link to the database, and its own opens of the companions do
// not follow links either, but a link there would only fail the first read
// much later; looking first refuses the connect plainly.  Between these
// checks and SQLite's opens a file can still be swapped, by whoever can
// write the data folder: such a person could replace the databases
// themselves anyway.
DatabaseFile check_database_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP ? DatabaseFile::link : DatabaseFile::missing;
    struct stat st {};
    char head[sizeof database_header] = {};
    const bool database = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                          read_start(fd, head, sizeof head) == sizeof head &&
                          std::memcmp(head, database_header, sizeof head) == 0;
    ::close(fd);
    if (!database) return DatabaseFile::not_database;
    // A companion is absent or a regular file; anything else at its name
    // (a link above all) is refused.
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        if (::lstat((path + suffix).c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            return DatabaseFile::link;
    return DatabaseFile::ok;
}

ExportFile::~ExportFile() {
    discard();
}

ExportFile::Opened ExportFile::open(const std::string& folder, const std::string& name) {
    discard();
    failed_ = false;
    target_ = folder + "/" + name;
    struct stat st {};
    if (::lstat(target_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return Opened::link;
    // A name no client can give (export names never start with '.'), and
    // one no other export of this or another server process is using.
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = folder + "/.export-" + std::to_string(::getpid()) + "-" +
                     std::to_string(serial++) + ".tmp";
        fd_ =
            ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd_ >= 0) return Opened::ok;
        if (errno != EEXIST) break;
    }
    temporary_.clear();
    return Opened::failed;
}

bool ExportFile::write(std::string_view text) {
    buffer_.append(text);
    return buffer_.size() < export_buffer ? !failed_ : flush();
}

bool ExportFile::flush() {
    for (std::size_t at = 0; !failed_ && at < buffer_.size();) {
        const ssize_t n = ::write(fd_, buffer_.data() + at, buffer_.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            failed_ = true;
        else
            at += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return !failed_;
}

bool ExportFile::commit() {
    if (fd_ < 0) return false;
    // Synced before the rename, so that after a system crash the name
    // holds either the old file or the whole new one.
    bool ok = flush() && ::fsync(fd_) == 0;
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    if (ok && ::rename(temporary_.c_str(), target_.c_str()) == 0) {
        temporary_.clear();
        // The folder is synced too, so that the new name itself survives a
        // crash; the export is complete either way, so a folder that cannot
        // be synced does not fail it.
        const std::string folder = fs::path(target_).parent_path().string();
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }
    discard();
    return false;
}

void ExportFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    buffer_.clear();
}

} // namespace kls

// The files of the server's two folders, handled so that they stay in
// them: no symbolic link is followed, a file that is not a database is
// never opened as one, and an export appears whole or not at all.
#pragma once

#include <string>
#include <string_view>

namespace kls {

// Makes the export folder (data_dir/exports when export_dir is empty) and
// turns both folders into their real paths, without symbolic links (SQLite
// refuses a database path with a link anywhere in it).  False with the
// reason in error when the data folder is missing, the export folder
// cannot be made, or the two are one folder: an export there could replace
// a database.  Without a data folder (the tables are elsewhere) only the
// export folder is made, and it must be named.
bool prepare_folders(std::string& data_dir, std::string& export_dir, std::string& error);

enum class DatabaseFile {
    ok,
    missing,      // no file of that name, or it cannot be read
    link,         // the file or one of its companions is a symbolic link
    not_database, // not a regular file with the database header
};

// Looks at a database file before SQLite opens it: the file itself (opened
// without following a link, its first 16 bytes must be the database
// header, so a zero-length or foreign file is never turned into a
// database) and its -wal, -shm and -journal companions (each absent or a
// regular file).
DatabaseFile check_database_file(const std::string& path);

// An export being written: a file of a temporary name in the export
// folder, renamed over the target by commit().  A crash or a failure
// never leaves half a file under the target's name, and a link at the
// target is replaced rather than written through.  The temporary file
// goes when the object goes uncommitted.
class ExportFile {
  public:
    enum class Opened { ok, link, failed };

    ExportFile() = default;
    ~ExportFile();
    ExportFile(const ExportFile&) = delete;
    ExportFile& operator=(const ExportFile&) = delete;

    // Starts the export `name` (a plain name) in folder; link when a
    // symbolic link stands at that name.
    Opened open(const std::string& folder, const std::string& name);
    // Adds text (buffered); false once a write has failed.
    bool write(std::string_view text);
    // Writes what is buffered, syncs the file and renames it over the
    // target; false (and the temporary file removed) when any step failed.
    bool commit();

  private:
    bool flush();
    void discard();
    int fd_ = -1;
    bool failed_ = false;
    std::string temporary_;
    std::string target_;
    std::string buffer_;
};

} // namespace kls

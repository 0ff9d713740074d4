// Writes to one database file take turns inside the server.  SQLite lets
// one connection write at a time and makes the others wait only for its
// busy timeout, after which they fail; under load some inserts then failed
// although nothing was wrong.  A write here first takes the file's turn,
// waiting as long as the server allows (--write-wait), and keeps it until
// its transaction ends: at the end of the request for a write outside a
// transaction, at COMMIT, ROLLBACK or disconnect inside one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kls {

// The turn of one database file: free or held by one holder.
class FileTurn {
  public:
    enum class Result { taken, timed_out, held_by_self };
    // Takes the turn for holder, waiting at most wait.  A holder that already
    // has it keeps it.  held_by_self when another instance of the same
    // session (same_session) holds it, which waiting could never end.
    Result take(std::uint32_t holder, const void* session, std::chrono::milliseconds wait);
    void give_back(std::uint32_t holder);

  private:
    std::mutex mutex_;
    std::condition_variable freed_;
    std::uint32_t holder_ = 0; // an instance identifier; 0 = free
    const void* session_ = nullptr;
};

// The turns of the server's files, by path.  Entries stay for the life of
// the server: one per database file ever written.
class WriteTurns {
  public:
    std::shared_ptr<FileTurn> of(const std::string& path);

  private:
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<FileTurn>> turns_;
};

// An instance's hold on its file's turn; gives it back when it goes.
class WriteHold {
  public:
    WriteHold() = default;
    ~WriteHold() { release(); }
    WriteHold(WriteHold&& other) noexcept;
    WriteHold& operator=(WriteHold&& other) noexcept;
    WriteHold(const WriteHold&) = delete;
    WriteHold& operator=(const WriteHold&) = delete;

    // Takes turn for the instance holder of session (waiting at most wait)
    // unless already held.
    FileTurn::Result take(std::shared_ptr<FileTurn> turn, std::uint32_t holder, const void* session,
                          std::chrono::milliseconds wait);
    void release();
    bool held() const { return turn_ != nullptr; }

  private:
    std::shared_ptr<FileTurn> turn_;
    std::uint32_t holder_ = 0;
};

} // namespace kls

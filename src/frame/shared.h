// Process state that calls outside the one-call guard (klerror's local
// lookup, apierror, apiversion, apiinfo's local items, and the refusal of
// a call with 18002) share with the call that holds the guard.
//
// SpinLock guards the trace log file and the message file's name.  Holders
// keep it for a few file operations at most; a waiter yields the processor
// between attempts.  It is built on an atomic flag, so it needs no thread
// library (the Windows DLL is built without one) and no set-up: a lock in
// static storage is ready before any call.
//
// SharedWord holds a 16-bit switch or flag that such calls read while a
// guarded call may change it (the trace switches, the connected flag, the
// host type).  Every access is atomic; it copies like a plain number, so
// the state records that hold it stay assignable.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace kl {

class SpinLock {
  public:
    void lock() noexcept {
        while (flag_.test_and_set(std::memory_order_acquire))
            platform::yield_thread();
    }
    void unlock() noexcept { flag_.clear(std::memory_order_release); }

  private:
    std::atomic_flag flag_; // clear from the start
};

// Holds a lock for the life of the object.
class LockHolder {
  public:
    explicit LockHolder(SpinLock& lock) noexcept : lock_(lock) { lock_.lock(); }
    ~LockHolder() { lock_.unlock(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

  private:
    SpinLock& lock_;
};

class SharedWord {
  public:
    constexpr SharedWord(std::uint16_t value = 0) noexcept : value_(value) {}
    SharedWord(const SharedWord& other) noexcept : value_(other.load()) {}
    SharedWord& operator=(const SharedWord& other) noexcept {
        value_.store(other.load());
        return *this;
    }
    SharedWord& operator=(std::uint16_t value) noexcept {
        value_.store(value);
        return *this;
    }
    operator std::uint16_t() const noexcept { return load(); }
    std::uint16_t load() const noexcept { return value_.load(); }

  private:
    std::atomic<std::uint16_t> value_;
};

} // namespace kl

#include "write_lock.h"

#include <utility>

namespace kls {

FileTurn::Result FileTurn::take(std::uint32_t holder, const void* session,
                                std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (holder_ == holder) return Result::taken;
    if (holder_ != 0 && session_ == session) return Result::held_by_self;
    if (!freed_.wait_for(lock, wait, [&] { return holder_ == 0; })) return Result::timed_out;
    holder_ = holder;
    session_ = session;
    return Result::taken;
}

void FileTurn::give_back(std::uint32_t holder) {
    {
        std::lock_guard lock(mutex_);
        if (holder_ != holder) return;
        holder_ = 0;
        session_ = nullptr;
    }
    freed_.notify_one();
}

std::shared_ptr<FileTurn> WriteTurns::of(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto& turn = turns_[path];
    if (!turn) turn = std::make_shared<FileTurn>();
    return turn;
}

WriteHold::WriteHold(WriteHold&& other) noexcept
    : turn_(std::exchange(other.turn_, nullptr)), holder_(other.holder_) {}

WriteHold& WriteHold::operator=(WriteHold&& other) noexcept {
    if (this != &other) {
        release();
        turn_ = std::exchange(other.turn_, nullptr);
        holder_ = other.holder_;
    }
    return *this;
}

FileTurn::Result WriteHold::take(std::shared_ptr<FileTurn> turn, std::uint32_t holder,
                                 const void* session, std::chrono::milliseconds wait) {
    if (turn_ != nullptr) return FileTurn::Result::taken;
    const FileTurn::Result result = turn->take(holder, session, wait);
    if (result == FileTurn::Result::taken) {
        turn_ = std::move(turn);
        holder_ = holder;
    }
    return result;
}

void WriteHold::release() {
    if (turn_ == nullptr) return;
    turn_->give_back(holder_);
    turn_ = nullptr;
}

} // namespace kls

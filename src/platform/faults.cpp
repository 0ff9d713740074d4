// The fault-injection seam shared by every platform.

#include <atomic>

#include "platform/platform.h"

namespace kl::platform {
namespace {

std::atomic<int> short_receive_every{0};
std::atomic<int> receive_count{0};
std::atomic<int> allocations_left{-1};

} // namespace

void set_short_receive_every(int n) {
    short_receive_every = n > 0 ? n : 0;
    receive_count = 0;
}

void set_allocation_failures_after(int n) {
    allocations_left = n >= 0 ? n : -1;
}

bool allocation_permitted() {
    int left = allocations_left.load();
    while (left >= 0) {
        if (left == 0) return false;
        if (allocations_left.compare_exchange_weak(left, left - 1)) return true;
    }
    return true;
}

std::size_t receive_length_limit(std::size_t length) {
    const int every = short_receive_every.load();
    if (every == 0 || length <= 1) return length;
    return (++receive_count % every == 0) ? 1 : length;
}

} // namespace kl::platform

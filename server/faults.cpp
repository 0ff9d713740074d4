#include "faults.h"

namespace kls::faults {

namespace {
std::atomic<bool> accept_armed{false};
std::atomic<bool> thread_start_armed{false};
std::atomic<bool> allocation_armed{false};
} // namespace

void fail_next_accept() {
    accept_armed.store(true);
}

void fail_next_thread_start() {
    thread_start_armed.store(true);
}

void fail_next_allocation() {
    allocation_armed.store(true);
}

bool accept_should_fail() {
    return accept_armed.exchange(false);
}

bool thread_start_should_fail() {
    return thread_start_armed.exchange(false);
}

bool allocation_should_fail() {
    return allocation_armed.exchange(false);
}

} // namespace kls::faults

// The fault-injection seam shared by every platform.

#include <array>
#include <atomic>

#include "platform/platform.h"

namespace kl::platform {
namespace {

std::atomic<int> short_receive_every{0};
std::atomic<int> receive_count{0};
std::atomic<int> allocations_left{-1};
std::atomic<int> faults_taken{0};

// The socket fault armed by inject_socket_fault, and the operations
// counted since.
std::array<std::atomic<int>, socket_op_kinds> operations{};
std::atomic<int> fault_op{0};
std::atomic<int> fault_at{0}; // 0 = none
std::atomic<SocketFault> fault_kind{SocketFault::error};
std::atomic<int> fault_error{0};
std::atomic<SocketObserver> socket_observer{nullptr};

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
        if (left == 0) {
            ++faults_taken;
            return false;
        }
        if (allocations_left.compare_exchange_weak(left, left - 1)) return true;
    }
    return true;
}

std::size_t receive_length_limit(std::size_t length) {
    const int every = short_receive_every.load();
    if (every == 0 || length <= 1) return length;
    return (++receive_count % every == 0) ? 1 : length;
}

void inject_socket_fault(SocketOp op, int n, SocketFault fault, int error) {
    fault_at = 0;
    for (std::atomic<int>& count : operations)
        count = 0;
    fault_op = static_cast<int>(op);
    fault_kind = fault;
    fault_error = error;
    fault_at = n > 0 ? n : 0;
}

int socket_operations(SocketOp op) {
    return operations[static_cast<std::size_t>(op)].load();
}

int injected_faults() {
    return faults_taken.load();
}

void set_socket_observer(SocketObserver observer) {
    socket_observer = observer;
}

std::optional<long> socket_fault(SocketOp op, std::size_t* length) {
    if (op == SocketOp::send || op == SocketOp::recv) {
        if (const SocketObserver observer = socket_observer.load()) observer();
    }
    const int n = ++operations[static_cast<std::size_t>(op)];
    if (fault_at.load() == 0 || fault_op.load() != static_cast<int>(op) || fault_at.load() != n)
        return std::nullopt;
    ++faults_taken;
    switch (fault_kind.load()) {
    case SocketFault::error:
        set_last_socket_error(fault_error.load());
        return -1;
    case SocketFault::reset:
        set_last_socket_error(wsa_econnreset);
        return -1;
    case SocketFault::peer_closed:
        if (op == SocketOp::recv) return 0;
        set_last_socket_error(wsa_econnreset);
        return -1;
    case SocketFault::short_transfer:
        if (length != nullptr) {
            if (op == SocketOp::recv)
                *length = *length > 1 ? 1 : *length;
            else
                *length /= 2;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace kl::platform

#include "request_memory.h"

#include <new>

#include "faults.h"
#include "server_errors.h"

namespace kls {

bool RequestMemory::charge(std::size_t bytes) {
    if (faults::allocation_should_fail()) throw std::bad_alloc();
    if (bytes > limit_ - used_) return false;
    used_ += bytes;
    return true;
}

Status memory_error(std::string_view what) {
    return error_status(err_memory, what);
}

} // namespace kls

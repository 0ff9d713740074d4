// The memory one request may take for what grows with the data it works
// on: the rowids of a selection, the pairs of a join, catalogue entries,
// list rows, the input and output of commands and external routines.
// Containers are counted as they grow (a vector by its capacity, so the
// count is taken once per doubling, not per element); a request that would
// pass the limit is refused with err_memory before it allocates.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

#include "wire.h"

namespace kls {

class RequestMemory {
  public:
    explicit RequestMemory(std::size_t limit) : limit_(limit) {}
    RequestMemory(const RequestMemory&) = delete;
    RequestMemory& operator=(const RequestMemory&) = delete;

    // Counts bytes more as taken by the request; false (nothing counted)
    // when that would pass the limit.  Throws std::bad_alloc when a test
    // armed the allocation fault switch, as a failed allocation would.
    [[nodiscard]] bool charge(std::size_t bytes);

    // Makes room in v for `more` elements, counting the capacity it adds
    // and, for every element of it, `extra` bytes held elsewhere (nodes of
    // a set kept alongside, say).  False when over the limit; v is then
    // unchanged.
    template <class T>
    [[nodiscard]] bool room(std::vector<T>& v, std::size_t more = 1, std::size_t extra = 0) {
        if (v.capacity() - v.size() >= more) return true;
        // Doubling, as the vector would grow by itself, but no further
        // than the limit leaves room for.
        constexpr std::size_t first = 64;
        const std::size_t element = sizeof(T) + extra;
        const std::size_t needed = v.size() + more - v.capacity();
        const std::size_t affordable = (limit_ - used_) / element;
        if (needed > affordable) return false;
        const std::size_t added = std::clamp(std::max(v.capacity(), first), needed, affordable);
        if (!charge(added * element)) return false;
        v.reserve(v.capacity() + added);
        return true;
    }

    // Counts a vector the request has let go of as no longer taken.
    template <class T> void release(const std::vector<T>& v) {
        used_ -= std::min(used_, v.capacity() * sizeof(T));
    }

    std::size_t used() const { return used_; }
    std::size_t limit() const { return limit_; }

  private:
    std::size_t limit_;
    std::size_t used_ = 0;
};

// The answer to a request refused for the memory it needs (20024); what
// names what grew too large.
Status memory_error(std::string_view what);

} // namespace kls

// Client instance and cursor tables.
//
// The application holds small positive numbers; each maps to a control
// block that holds the server's identifier and what later calls need.
// Slot 0 exists but is never filled, so numbers start at 1.  A table
// starts with 15 entries (highest slot 14), grows by 15 entries when full,
// reuses the lowest free number, and never shrinks.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace kl {

inline constexpr std::int32_t table_growth = 15;

// A server identifier: 4 opaque bytes, stored and sent back exactly as
// they arrived, never byte-swapped.
struct ServerId {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
};

template <class Block> class ControlTable {
  public:
    // Allocates the initial 15 slots.  0, or -1 when they cannot be had.
    int create() noexcept {
        try {
            slots_.clear();
            slots_.resize(static_cast<std::size_t>(table_growth));
        } catch (const std::bad_alloc&) {
            return -1;
        }
        highest_ = table_growth - 1;
        used_ = 0;
        return 0;
    }

    bool exists() const { return !slots_.empty(); }

    // Records a block and hands out its number: the lowest free slot, or the
    // first slot of a new stretch of 15 when the table is full.  0, or
    // no_memory when growing fails (the table is then unchanged and the
    // block is given back to the caller untouched).
    static constexpr int no_memory = 12; // ENOMEM
    int add(std::unique_ptr<Block>& block, std::int32_t& number) noexcept {
        std::int32_t slot = 0;
        if (used_ >= highest_) {
            try {
                slots_.resize(static_cast<std::size_t>(highest_) + 1 + table_growth);
            } catch (const std::bad_alloc&) {
                return no_memory;
            }
            slot = highest_ + 1;
            highest_ += table_growth;
        } else {
            for (slot = 1; slots_[static_cast<std::size_t>(slot)]; ++slot) {
            }
        }
        slots_[static_cast<std::size_t>(slot)] = std::move(block);
        ++used_;
        number = slot;
        return 0;
    }

    bool valid(std::int32_t number) const {
        return number >= 0 && number <= highest_ &&
               number < static_cast<std::int32_t>(slots_.size()) &&
               slots_[static_cast<std::size_t>(number)] != nullptr;
    }

    // The block of a number; null when the number is not valid.
    Block* find(std::int32_t number) const {
        return valid(number) ? slots_[static_cast<std::size_t>(number)].get() : nullptr;
    }

    // Frees the block of a number.  0, or 11008 when the number is not valid.
    int remove(std::int32_t number) noexcept {
        if (!valid(number)) return 11008;
        slots_[static_cast<std::size_t>(number)].reset();
        --used_;
        return 0;
    }

    std::int32_t highest_slot() const { return highest_; }
    std::int32_t used_count() const { return used_; }

    // Empties the table and frees every block (used by tests to start over).
    void reset() noexcept {
        slots_.clear();
        highest_ = 0;
        used_ = 0;
    }

  private:
    std::vector<std::unique_ptr<Block>> slots_;
    std::int32_t highest_ = 0;
    std::int32_t used_ = 0;
};

// Allocates a zero-filled block; null when memory is short.
template <class Block> std::unique_ptr<Block> new_block() noexcept {
    if (!platform::allocation_permitted()) return nullptr;
    return std::unique_ptr<Block>(new (std::nothrow) Block{});
}

// What the library keeps about a connection opened by klconnect.
struct ClientInstance {
    ServerId server_instance;           // the server's identifier
    std::int32_t na_instance = 0;       // network access instance carrying it
    std::uint32_t connection = 0;       // serial of that connection
    std::int32_t char_row_length = 0;   // klinsert's cached row length, character form
    std::int32_t binary_row_length = 0; // klinsert's cached row length, binary form
    char insert_table[256] = {};        // table whose row lengths are cached
    char environment[256] = {};         // environment file name given to klconnect
    char node[32] = {};                 // node name, upper-cased
};

// What the library keeps about an open cursor.
struct kl_cursor_t {
    std::int32_t instance = 0;      // client instance the cursor was opened on
    std::uint32_t connection = 0;   // serial of the connection it was opened on
    ServerId server_cursor;         // the server's identifier
    std::int32_t record_length = 0; // from select, bind and form
    std::int32_t qualify_size = 0;  // from qualify and join
    std::int32_t value_size = 0;    // from select; used by assign values
};

// The client instance and cursor tables, created together by the first
// klconnect.
struct ClientTables {
    std::int32_t ready = 0; // 1 once both tables exist
    ControlTable<ClientInstance> instances;
    ControlTable<kl_cursor_t> cursors;
};
extern ClientTables& client_tables;

// Creates both client tables.  0; -1 when the instance table cannot be
// allocated; the system error number when the cursor table cannot be (the
// instance table then stays and the ready flag stays clear).
int create_client_tables();

} // namespace kl

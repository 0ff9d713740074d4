// Client numbers: growth by 15, reuse of the lowest free number, validity.

#include <gtest/gtest.h>

#include <vector>

#include "frame/tables.h"

namespace kl {
namespace {

struct Block {
    int tag = 0;
};

std::int32_t add_block(ControlTable<Block>& table, int tag) {
    auto block = new_block<Block>();
    block->tag = tag;
    std::int32_t number = -1;
    EXPECT_EQ(table.add(block, number), 0);
    return number;
}

TEST(ControlTable, GrowsByFifteenWhenFull) {
    ControlTable<Block> table;
    ASSERT_EQ(table.create(), 0);
    for (int i = 1; i <= 14; ++i)
        ASSERT_EQ(add_block(table, i), i);
    EXPECT_EQ(table.highest_slot(), 14);
    EXPECT_EQ(add_block(table, 15), 15); // the 15th grows the table
    EXPECT_EQ(table.highest_slot(), 29);
    for (int i = 16; i <= 29; ++i)
        ASSERT_EQ(add_block(table, i), i);
    EXPECT_EQ(add_block(table, 30), 30); // the 30th grows it again
    EXPECT_EQ(table.highest_slot(), 44);
    for (int i = 1; i <= 30; ++i)
        EXPECT_EQ(table.find(i)->tag, i); // kept across growth
}

TEST(ControlTable, InvalidNumbers) {
    ControlTable<Block> table;
    EXPECT_FALSE(table.valid(1)); // before creation
    ASSERT_EQ(table.create(), 0);
    const std::int32_t n = add_block(table, 1);
    for (std::int32_t bad : {0, -1, 15, 1000, 2}) {
        EXPECT_FALSE(table.valid(bad)) << bad;
        EXPECT_EQ(table.find(bad), nullptr) << bad;
        EXPECT_EQ(table.remove(bad), 11008) << bad;
    }
    EXPECT_EQ(table.remove(n), 0);
    EXPECT_EQ(table.remove(n), 11008); // the second removal
    EXPECT_FALSE(table.valid(n));
}

} // namespace
} // namespace kl

// The batches of one enumeration joined into its table.
#include <gtest/gtest.h>

#include "TableAssembler.h"

namespace brondal::corvane::client {
namespace {

DisplayBatch BatchOf(std::initializer_list<std::uint32_t> tags, bool last) {
    DisplayBatch batch;
    for (std::uint32_t tag : tags) {
        DisplayRecord entry;
        entry.tag = tag;
        batch.entries.push_back(entry);
    }
    batch.last = last;
    return batch;
}

TEST(TableAssembly, BatchesJoinInOrderUntilTheLastOne) {
    TableAssembler assembler;
    EXPECT_FALSE(assembler.Add(BatchOf({1, 2}, false)));
    EXPECT_FALSE(assembler.Add(BatchOf({3}, false)));
    ASSERT_TRUE(assembler.Add(BatchOf({4}, true)));
    const auto table = assembler.Take();
    ASSERT_EQ(table.size(), 4u);
    for (std::uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(table[i].tag, i + 1);

    // The next enumeration starts afresh.
    ASSERT_TRUE(assembler.Add(BatchOf({9}, true)));
    EXPECT_EQ(assembler.Take().size(), 1u);
}

}  // namespace
}  // namespace brondal::corvane::client

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "platform/platform_testing.h"

class HeapTest : public ::testing::Test {
  protected:
    void SetUp() override { TestingReset(); }
    void TearDown() override { TestingReset(); }
};

TEST_F(HeapTest, BlocksAreZeroFilledAndCounted) {
    int64_t live = TestingLiveBlockCount();
    int64_t calls = TestingAllocationCount();
    // Small blocks, and large ones (a mapping of their own, kept for reuse once freed) of whole
    // and part huge pages, the last in a mapping kept from the one before. Dirty the heap first
    // so that a reused chunk or mapping would show old bytes if not cleared.
    for (uint32_t size : {4096u, 1u << 20, (3u << 20) + 5, (10u << 20) - 1, 15u << 19}) {
        for (int round = 0; round < 4; round++) {
            uint8_t* dirty = (uint8_t*)AllocateBlock(size);
            ASSERT_NE(dirty, nullptr);
            memset(dirty, 0xAB, size);
            FreeBlock(dirty);
        }
        uint8_t* block = (uint8_t*)AllocateBlock(size);
        ASSERT_NE(block, nullptr);
        for (uint32_t i = 0; i < size; i++)
            ASSERT_EQ(block[i], 0) << "byte " << i << " of " << size;
        // A second large block while the first is held, freed first.
        uint8_t* other = (uint8_t*)AllocateBlock(size);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other[size - 1], 0);
        memset(other, 0xCD, size);
        EXPECT_EQ(block[size - 1], 0);
        EXPECT_EQ(TestingBlockSize(other), (int64_t)size);
        FreeBlock(other);
        FreeBlock(block);
    }
    EXPECT_EQ(TestingLiveBlockCount(), live);
    uint8_t* block = (uint8_t*)AllocateBlock(4096);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(TestingLiveBlockCount(), live + 1);

    void* empty = AllocateBlock(0);
    EXPECT_NE(empty, nullptr);
    EXPECT_NE(empty, block);
    EXPECT_EQ(TestingBlockSize(block), 4096);
    EXPECT_EQ(TestingBlockSize(empty), 0);
    EXPECT_EQ(TestingBlockSize(nullptr), -1);
    EXPECT_EQ(TestingLiveBlockCount(), live + 2);

    FreeBlock(nullptr);  // ignored, and not counted as a free
    EXPECT_EQ(TestingLiveBlockCount(), live + 2);
    FreeBlock(empty);
    FreeBlock(block);
    EXPECT_EQ(TestingLiveBlockCount(), live);
    EXPECT_EQ(TestingAllocationCount(), calls + 5 * 6 + 2);
}

TEST_F(HeapTest, ExactlyTheNthAllocationFails) {
    int64_t live = TestingLiveBlockCount();
    TestingFailAllocation(3);
    std::vector<void*> blocks;
    for (int i = 0; i < 5; i++) blocks.push_back(AllocateBlock(16));
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    EXPECT_EQ(TestingLiveBlockCount(), live + 4);
    for (void* block : blocks) FreeBlock(block);
    EXPECT_EQ(TestingLiveBlockCount(), live);

    TestingFailAllocation(1);
    TestingFailAllocation(0);  // switched off again before it fired
    void* block = AllocateBlock(1);
    EXPECT_NE(block, nullptr);
    FreeBlock(block);

    TestingFailAllocation(1);
    TestingReset();
    block = AllocateBlock(1);
    EXPECT_NE(block, nullptr);
    FreeBlock(block);
}

TEST_F(HeapTest, LimitRefusesOnlyLargerBlocks) {
    int64_t live = TestingLiveBlockCount();
    TestingSetAllocationLimit(1000);
    void* fits = AllocateBlock(1000);
    EXPECT_NE(fits, nullptr);
    EXPECT_EQ(AllocateBlock(1001), nullptr);
    EXPECT_EQ(AllocateBlock(0xFFFFFFFFu), nullptr);
    FreeBlock(fits);
    EXPECT_EQ(TestingLiveBlockCount(), live);

    TestingReset();
    void* large = AllocateBlock(1 << 20);
    EXPECT_NE(large, nullptr);
    FreeBlock(large);
}

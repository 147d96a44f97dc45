#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "BlockPool.h"
#include "FilterFixture.h"

namespace {

ZorvaneRunHeader* headerOf(void* memory) {
    return reinterpret_cast<ZorvaneRunHeader*>(static_cast<uint8_t*>(memory) -
                                               sizeof(ZorvaneRunHeader));
}

uint32_t blockBytes(int pool) {
    return (pool == ZORVANE_POOL_SMALL ? ZORVANE_POOL_SMALL_BLOCK_UNITS
                                       : ZORVANE_POOL_LARGE_BLOCK_UNITS) *
           ZORVANE_POOL_UNIT;
}

// The run header right after the run that holds `memory`.
ZorvaneRunHeader* nextRun(void* memory, int pool) {
    ZorvaneRunHeader* header = headerOf(memory);
    return reinterpret_cast<ZorvaneRunHeader*>(reinterpret_cast<uint8_t*>(header) +
                                               header->count * blockBytes(pool));
}

using BlockPoolTest = FilterTest;

TEST_F(BlockPoolTest, RequestSizeChoosesPoolAndBlockCountAndSplitsTheRest) {
    struct Case {
        size_t size;
        int pool;
        uint32_t blocks;
    };
    const Case cases[] = {
        {1, ZORVANE_POOL_SMALL, 1},   {40, ZORVANE_POOL_SMALL, 1},  {64, ZORVANE_POOL_SMALL, 1},
        {65, ZORVANE_POOL_LARGE, 1},  {160, ZORVANE_POOL_LARGE, 1}, {161, ZORVANE_POOL_LARGE, 2},
        {300, ZORVANE_POOL_LARGE, 2}, {328, ZORVANE_POOL_LARGE, 2}, {329, ZORVANE_POOL_LARGE, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        // Fresh pools for each case: the first run of the first region.
        ZorvaneFreePools();
        ASSERT_EQ(ZorvaneInitPools(), 1);
        void* memory = AllocateMemory(c.size);
        ASSERT_NE(memory, nullptr);
        memset(memory, 0xEE, c.size);
        EXPECT_EQ(headerOf(memory)->count, c.blocks);
        EXPECT_EQ(headerOf(memory)->inUse, 1u);
        ZorvaneRunHeader* rest = nextRun(memory, c.pool);
        EXPECT_EQ(rest->count, ZorvanePoolBlocksPerRegion(c.pool) - c.blocks);
        EXPECT_EQ(rest->inUse, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(memory) % 8, 0u);
        FreeMemory(memory);
        EXPECT_EQ(headerOf(memory)->inUse, 0u);
    }
    EXPECT_EQ(ZorvanePoolBlocksPerRegion(ZORVANE_POOL_SMALL), 227u);
    EXPECT_EQ(ZorvanePoolBlocksPerRegion(ZORVANE_POOL_LARGE), 97u);
}

TEST_F(BlockPoolTest, TwoFreedNeighboursAreJoinedByTheNextLargerRequest) {
    void* first = AllocateMemory(160);
    void* second = AllocateMemory(160);
    void* third = AllocateMemory(160);
    ASSERT_NE(third, nullptr);
    FreeMemory(first);
    FreeMemory(second);

    // 42 units do not fit the two freed blocks (41 usable): placed after third.
    void* tooLarge = AllocateMemory(329);
    EXPECT_GT(tooLarge, third);
    // 41 units fit exactly: one run of two blocks at the first freed one.
    void* joined = AllocateMemory(328);
    EXPECT_EQ(joined, first);
    EXPECT_EQ(headerOf(joined)->count, 2u);
    EXPECT_EQ(headerOf(joined)->inUse, 1u);
    EXPECT_EQ(nextRun(joined, ZORVANE_POOL_LARGE), headerOf(third));
    EXPECT_EQ(headerOf(third)->inUse, 1u);
    FreeMemory(joined);
    FreeMemory(third);
    FreeMemory(tooLarge);
}

TEST_F(BlockPoolTest, FreedRunIsSplitAgainForASmallerRequest) {
    void* large = AllocateMemory(300);  // two blocks
    void* after = AllocateMemory(100);
    FreeMemory(large);
    void* small = AllocateMemory(100);
    EXPECT_EQ(small, large);
    EXPECT_EQ(headerOf(small)->count, 1u);
    ZorvaneRunHeader* split = nextRun(small, ZORVANE_POOL_LARGE);
    EXPECT_EQ(split->count, 1u);
    EXPECT_EQ(split->inUse, 0u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(split) + blockBytes(ZORVANE_POOL_LARGE),
              reinterpret_cast<uint8_t*>(headerOf(after)));
    FreeMemory(small);
    FreeMemory(after);
}

TEST_F(BlockPoolTest, FullPoolGrowsByOneRegionAndFreedBlocksAreUsedFirst) {
    std::vector<void*> blocks;
    for (int i = 0; i < 227; ++i) {
        blocks.push_back(AllocateMemory(40));
        ASSERT_NE(blocks.back(), nullptr);
    }
    EXPECT_EQ(ZorvanePoolRegionCount(ZORVANE_POOL_SMALL), 1);
    void* grown = AllocateMemory(40);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(ZorvanePoolRegionCount(ZORVANE_POOL_SMALL), 2);
    EXPECT_EQ(ZorvanePoolRegionCount(ZORVANE_POOL_LARGE), 1);

    FreeMemory(blocks[100]);
    EXPECT_EQ(AllocateMemory(40), blocks[100]);
    EXPECT_EQ(ZorvanePoolRegionCount(ZORVANE_POOL_SMALL), 2);
    for (void* block : blocks) {
        FreeMemory(block);
    }
    FreeMemory(grown);
}

TEST_F(BlockPoolTest, RefusesWhatCannotBeMet) {
    EXPECT_EQ(AllocateMemory(0), nullptr);
    // A whole large-pool region less its header is the most one request gets.
    const size_t most = (97 * 21 - 1) * 8;
    EXPECT_EQ(AllocateMemory(most + 1), nullptr);
    EXPECT_EQ(ZorvanePoolRegionCount(ZORVANE_POOL_LARGE), 1);
    void* whole = AllocateMemory(most);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(headerOf(whole)->count, 97u);
    FreeMemory(whole);
    FreeMemory(nullptr);

    // No memory for a new region: the request fails, later ones may succeed.
    std::vector<void*> blocks;
    for (int i = 0; i < 227; ++i) {
        blocks.push_back(AllocateMemory(64));
    }
    TestOs::failAllocationsAfter(0);
    EXPECT_EQ(AllocateMemory(64), nullptr);
    TestOs::failAllocationsAfter(-1);
    void* later = AllocateMemory(64);
    EXPECT_NE(later, nullptr);
    blocks.push_back(later);
    for (void* block : blocks) {
        FreeMemory(block);
    }
}

TEST_F(BlockPoolTest, ConcurrentUsersNeverShareMemory) {
    ZorvaneSetDebugLevel(ZORVANE_DBG_ERROR);
    auto worker = [](uint8_t mark, bool* ok) {
        std::vector<std::pair<uint8_t*, size_t>> held;
        for (int round = 0; round < 3000; ++round) {
            const size_t size = 8 + (round * 37) % 300;
            auto* memory = static_cast<uint8_t*>(AllocateMemory(size));
            if (memory == nullptr) {
                *ok = false;
                return;
            }
            memset(memory, mark, size);
            held.emplace_back(memory, size);
            if (held.size() > 20) {
                auto [old, oldSize] = held.front();
                held.erase(held.begin());
                for (size_t i = 0; i < oldSize; ++i) {
                    if (old[i] != mark) {
                        *ok = false;
                    }
                }
                FreeMemory(old);
            }
        }
        for (auto& entry : held) {
            FreeMemory(entry.first);
        }
    };
    bool firstOk = true;
    bool secondOk = true;
    std::thread first(worker, 0x11, &firstOk);
    std::thread second(worker, 0x22, &secondOk);
    first.join();
    second.join();
    EXPECT_TRUE(firstOk);
    EXPECT_TRUE(secondOk);
}

TEST(FilterStart, FailsCleanlyWithoutMemory) {
    TestOs::reset();
    TestOs::failAllocationsAfter(1);  // the first region only
    EXPECT_EQ(ZorvaneFilterStart(), 0);
    EXPECT_EQ(TestOs::outstandingAllocations(), 0);
    TestOs::reset();
}

}  // namespace

#pragma once

// The filter's allocator for all small records: two pools of fixed-size blocks
// carved out of 16 KB regions. Memory inside a region is a sequence of runs of
// whole blocks; each run starts with a ZorvaneRunHeader and the caller's
// memory follows it. Freeing only marks a run free; neighbouring free runs are
// joined when an allocation walks across them.

#include <cstddef>
#include <cstdint>

constexpr uint32_t ZORVANE_POOL_UNIT = 8;  // bytes
constexpr uint32_t ZORVANE_POOL_REGION_SIZE = 16384;
constexpr int ZORVANE_POOL_SMALL = 0;  // requests of at most 8 units
constexpr int ZORVANE_POOL_LARGE = 1;
constexpr uint32_t ZORVANE_POOL_SMALL_MAX_UNITS = 8;
constexpr uint32_t ZORVANE_POOL_SMALL_BLOCK_UNITS = 9;   // 72 bytes
constexpr uint32_t ZORVANE_POOL_LARGE_BLOCK_UNITS = 21;  // 168 bytes

struct ZorvaneRunHeader {
    uint32_t count;  // blocks in the run
    uint32_t inUse;  // 0 or 1
};
static_assert(sizeof(ZorvaneRunHeader) == ZORVANE_POOL_UNIT, "one unit of header");

// One region per pool; 1 on success, 0 when no memory.
int ZorvaneInitPools();
// Gives every region back; nothing allocated may be used afterwards.
void ZorvaneFreePools();

// `size` bytes (not zeroed), 8-byte aligned, or null: size 0, no memory, or a
// request larger than a whole region can hold (refused before growing).
void* AllocateMemory(size_t size);
// Null is ignored; memory must come from AllocateMemory.
void FreeMemory(void* memory);
// AllocateMemory followed by zeroing.
void* AllocateZeroedMemory(size_t size);

// Inspection for diagnostics and tests.
int ZorvanePoolRegionCount(int pool);
uint32_t ZorvanePoolBlocksPerRegion(int pool);

#include "BlockPool.h"

#include <cstring>

#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

struct PoolRegion {
    uint8_t* start;
    uint8_t* end;  // start + region size
    PoolRegion* next;
};

struct Pool {
    PoolRegion* regions;  // oldest first; allocations try them in this order
    uint32_t blockUnits;
    uint32_t blocksPerRegion;
};

// Guards both pools' chains and every run header in them. Innermost lock of
// the filter: taken inside map and list locks, takes no other lock.
OsSpinLock gPoolLock;
Pool gPools[2];
bool gPoolsReady = false;

uint32_t blockBytes(const Pool* pool) {
    return pool->blockUnits * ZORVANE_POOL_UNIT;
}

// Expects gPoolLock held (or the pools not yet shared).
PoolRegion* addRegion(Pool* pool) {
    auto* region = static_cast<PoolRegion*>(OsAllocate(sizeof(PoolRegion)));
    if (region == nullptr) {
        return nullptr;
    }
    region->start = static_cast<uint8_t*>(OsAllocate(ZORVANE_POOL_REGION_SIZE));
    if (region->start == nullptr) {
        OsFree(region);
        return nullptr;
    }
    region->end = region->start + ZORVANE_POOL_REGION_SIZE;
    region->next = nullptr;
    // OsAllocate zeroes: one free run of every block.
    auto* header = reinterpret_cast<ZorvaneRunHeader*>(region->start);
    header->count = pool->blocksPerRegion;
    PoolRegion** tail = &pool->regions;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = region;
    return region;
}

// Finds a stretch of free runs in the region that holds `need` units and marks
// it in use. Expects gPoolLock held.
void* allocateFromRegion(const Pool* pool, PoolRegion* region, int32_t need) {
    const int32_t units = static_cast<int32_t>(pool->blockUnits);
    const uint32_t bytesPerBlock = blockBytes(pool);
    ZorvLog(ZORVANE_DBG_TRACE, "start addr %x\n",
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(region->start)));
    int32_t avl = -1;  // units of the free runs just before this one, less one header
    uint8_t* run = region->start;
    while (run + (units - 1) * ZORVANE_POOL_UNIT < region->end) {
        auto* header = reinterpret_cast<ZorvaneRunHeader*>(run);
        uint8_t* next = run + header->count * bytesPerBlock;
        if (header->count == 0 || next > region->end) {
            // A caller wrote over a header: leave the rest of this region alone.
            ZorvLog(ZORVANE_DBG_ERROR, "AllocateMemory corrupt run at %x\n",
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(run)));
            return nullptr;
        }
        if (header->inUse != 0) {
            avl = -1;
        } else {
            const int32_t currBlocks = static_cast<int32_t>(header->count);
            const int32_t curr = currBlocks * units;
            ZorvLog(ZORVANE_DBG_TRACE, "currBlocks %d\n", currBlocks);
            ZorvLog(ZORVANE_DBG_TRACE, "avl %d curr %d\n", avl, curr);
            if (curr + avl >= need) {
                const int32_t extraBlocks = (avl + curr - need) / units;
                const int32_t allocBlocks = currBlocks - extraBlocks;
                ZorvLog(ZORVANE_DBG_TRACE, "extraBlocks %d\n", extraBlocks);
                ZorvLog(ZORVANE_DBG_TRACE, "allocBlocks %d\n", allocBlocks);
                // The stretch starts at its first free run.
                uint8_t* start = run - (avl + 1) * ZORVANE_POOL_UNIT;
                auto* first = reinterpret_cast<ZorvaneRunHeader*>(start);
                first->count = static_cast<uint32_t>((avl + 1) / units + allocBlocks);
                first->inUse = 1;
                if (extraBlocks > 0) {
                    auto* rest =
                        reinterpret_cast<ZorvaneRunHeader*>(start + first->count * bytesPerBlock);
                    rest->count = static_cast<uint32_t>(extraBlocks);
                    rest->inUse = 0;
                }
                return start + sizeof(ZorvaneRunHeader);
            }
            avl += curr;
        }
        run = next;
    }
    return nullptr;
}

}  // namespace

int ZorvaneInitPools() {
    OsSpinLockInit(&gPoolLock);
    gPools[ZORVANE_POOL_SMALL] = {
        nullptr, ZORVANE_POOL_SMALL_BLOCK_UNITS,
        ZORVANE_POOL_REGION_SIZE / (ZORVANE_POOL_SMALL_BLOCK_UNITS * ZORVANE_POOL_UNIT)};
    gPools[ZORVANE_POOL_LARGE] = {
        nullptr, ZORVANE_POOL_LARGE_BLOCK_UNITS,
        ZORVANE_POOL_REGION_SIZE / (ZORVANE_POOL_LARGE_BLOCK_UNITS * ZORVANE_POOL_UNIT)};
    gPoolsReady = true;
    ZorvLog(ZORVANE_DBG_INFO, "###### initialize memory ######\n");
    int status = 1;
    for (int type = 0; type < 2; ++type) {
        PoolRegion* region = addRegion(&gPools[type]);
        if (region == nullptr) {
            status = 0;
        }
        ZorvLog(ZORVANE_DBG_INFO, "addr %x\n",
                region ? static_cast<unsigned>(reinterpret_cast<uintptr_t>(region->start)) : 0u);
        ZorvLog(ZORVANE_DBG_INFO, "mem type %d\n", type);
        ZorvLog(ZORVANE_DBG_INFO, "status %d\n", region != nullptr ? 1 : 0);
        ZorvLog(ZORVANE_DBG_INFO, "count %d\n", static_cast<int>(gPools[type].blocksPerRegion));
    }
    ZorvLog(ZORVANE_DBG_INFO, "####### end #########\n");
    if (status == 0) {
        ZorvaneFreePools();
    }
    return status;
}

void ZorvaneFreePools() {
    if (!gPoolsReady) {
        return;
    }
    gPoolsReady = false;
    for (Pool& pool : gPools) {
        PoolRegion* region = pool.regions;
        while (region != nullptr) {
            PoolRegion* next = region->next;
            OsFree(region->start);
            OsFree(region);
            region = next;
        }
        pool.regions = nullptr;
    }
    OsSpinLockDestroy(&gPoolLock);
}

void* AllocateMemory(size_t size) {
    if (size == 0 || !gPoolsReady) {
        return nullptr;
    }
    const size_t needUnits = (size + ZORVANE_POOL_UNIT - 1) / ZORVANE_POOL_UNIT;
    const int type =
        needUnits <= ZORVANE_POOL_SMALL_MAX_UNITS ? ZORVANE_POOL_SMALL : ZORVANE_POOL_LARGE;
    Pool* pool = &gPools[type];
    // A run of a whole region less its header is the most one request can get.
    const size_t most = pool->blocksPerRegion * pool->blockUnits - 1;
    if (needUnits > most) {
        ZorvLog(ZORVANE_DBG_ERROR, "AllocateMemory too large %d\n", static_cast<int>(needUnits));
        return nullptr;
    }
    const auto need = static_cast<int32_t>(needUnits);
    ZorvLog(ZORVANE_DBG_TRACE, "AllocateMemory need %d\n", need);
    ZorvLog(ZORVANE_DBG_TRACE, "AllocateMemory mem type %d blkSize %d\n", type,
            static_cast<int>(pool->blockUnits));

    OsLockHandle handle;
    OsSpinLockAcquire(&gPoolLock, &handle);
    void* memory = nullptr;
    for (PoolRegion* region = pool->regions; region != nullptr && memory == nullptr;
         region = region->next) {
        memory = allocateFromRegion(pool, region, need);
    }
    if (memory == nullptr) {
        // One new region per miss; the request is placed in it before anyone
        // else can take it.
        PoolRegion* region = addRegion(pool);
        if (region != nullptr) {
            memory = allocateFromRegion(pool, region, need);
        } else {
            ZorvLog(ZORVANE_DBG_ERROR, "AllocateMemory no region for type %d\n", type);
        }
    }
    OsSpinLockRelease(&handle);
    return memory;
}

void* AllocateZeroedMemory(size_t size) {
    void* memory = AllocateMemory(size);
    if (memory != nullptr) {
        memset(memory, 0, size);
    }
    return memory;
}

void FreeMemory(void* memory) {
    if (memory == nullptr) {
        return;
    }
    auto* header = reinterpret_cast<ZorvaneRunHeader*>(static_cast<uint8_t*>(memory) -
                                                       sizeof(ZorvaneRunHeader));
    OsLockHandle handle;
    OsSpinLockAcquire(&gPoolLock, &handle);
    if (header->inUse == 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "FreeMemory of a free run\n");
    }
    header->inUse = 0;
    OsSpinLockRelease(&handle);
}

int ZorvanePoolRegionCount(int pool) {
    int count = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPoolLock, &handle);
    for (PoolRegion* region = gPools[pool].regions; region != nullptr; region = region->next) {
        ++count;
    }
    OsSpinLockRelease(&handle);
    return count;
}

uint32_t ZorvanePoolBlocksPerRegion(int pool) {
    return gPools[pool].blocksPerRegion;
}

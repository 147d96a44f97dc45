#include "BlockPool.h"
#include "ChildMaps.h"
#include "Clock.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

struct PortEntry {
    uint16_t port;  // local TCP port
    uint32_t childId;
    uint32_t time;        // seconds clock at the last add or port lookup
    uint64_t flowHandle;  // 0 when absent
    PortEntry* next;
};

// Guards gPorts, every entry and gPortLastPruned.
OsSpinLock gPortLock;
PortEntry* gPorts = nullptr;  // descending port
uint32_t gPortLastPruned = 0;

// Expects gPortLock held.
void pruneLocked(uint32_t now) {
    int removed = 0;
    int total = 0;
    PortEntry** link = &gPorts;
    while (*link != nullptr) {
        PortEntry* entry = *link;
        ++total;
        if (now - entry->time > ZORVANE_PORT_IDLE_SECONDS) {
            *link = entry->next;
            FreeMemory(entry);
            ++removed;
        } else {
            link = &entry->next;
        }
    }
    gPortLastPruned = now;
    ZorvLog(ZORVANE_DBG_TRACE, "port removed count %d total %d\n", removed, total);
}

// The link where `port` is or would be inserted. Expects gPortLock held.
PortEntry** findLocked(uint16_t port) {
    PortEntry** link = &gPorts;
    while (*link != nullptr && (*link)->port > port) {
        link = &(*link)->next;
    }
    return link;
}

}  // namespace

void ZorvaneInitPortChildMap() {
    OsSpinLockInit(&gPortLock);
    gPorts = nullptr;
    gPortLastPruned = ZorvaneSecondsNow();
}

void ZorvaneFreePortChildMap() {
    CleanupPortChildMap();
    OsSpinLockDestroy(&gPortLock);
}

int AddToPortChildMap(uint16_t port, uint32_t childId, uint64_t flowHandle) {
    ZorvLog(ZORVANE_DBG_TRACE, "AddToPortChildMap %d %d %ld\n", static_cast<int>(port),
            static_cast<int>(childId), static_cast<long>(flowHandle));
    int stored = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    const uint32_t now = ZorvaneSecondsNow();
    PortEntry** link = findLocked(port);
    PortEntry* entry = *link;
    if (entry == nullptr || entry->port != port) {
        entry = static_cast<PortEntry*>(AllocateMemory(sizeof(PortEntry)));
        if (entry != nullptr) {
            entry->port = port;
            entry->next = *link;
            *link = entry;
        }
    }
    if (entry != nullptr) {
        entry->childId = childId;
        entry->flowHandle = flowHandle;
        entry->time = now;
        stored = 1;
    }
    if (now - gPortLastPruned > ZORVANE_PORT_PRUNE_SECONDS) {
        pruneLocked(now);
    }
    OsSpinLockRelease(&handle);
    return stored;
}

uint32_t GetChildIdForPort(uint16_t port) {
    if (port == 0) {
        return 0;
    }
    uint32_t childId = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    PortEntry* entry = *findLocked(port);
    if (entry != nullptr && entry->port == port) {
        entry->time = ZorvaneSecondsNow();
        childId = entry->childId;
        ZorvLog(ZORVANE_DBG_TRACE, "GetChildIdForPort for %d is %d\n", static_cast<int>(port),
                static_cast<int>(childId));
    }
    OsSpinLockRelease(&handle);
    return childId;
}

uint32_t GetChildIdForFlow(uint64_t flowHandle) {
    if (flowHandle == 0) {
        return 0;
    }
    uint32_t childId = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    for (const PortEntry* entry = gPorts; entry != nullptr; entry = entry->next) {
        if (entry->flowHandle == flowHandle) {
            childId = entry->childId;
            break;
        }
    }
    OsSpinLockRelease(&handle);
    return childId;
}

void CleanupPortChildMap() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    PortEntry* entry = gPorts;
    gPorts = nullptr;
    OsSpinLockRelease(&handle);
    while (entry != nullptr) {
        PortEntry* next = entry->next;
        FreeMemory(entry);
        entry = next;
    }
}

uint32_t ZorvaneListPortMap(uint16_t* ports, uint32_t max) {
    uint32_t count = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    for (const PortEntry* entry = gPorts; entry != nullptr; entry = entry->next) {
        if (count < max) {
            ports[count] = entry->port;
        }
        ++count;
    }
    OsSpinLockRelease(&handle);
    return count;
}

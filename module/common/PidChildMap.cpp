#include "BlockPool.h"
#include "ChildMaps.h"
#include "Clock.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

struct PidEntry {
    uint32_t childId;
    uint32_t time;  // minutes clock at the last add or lookup
    uint64_t pid;
    PidEntry* next;
};

// Guards gPids, every entry and gPidLastPruned.
OsSpinLock gPidLock;
PidEntry* gPids = nullptr;  // descending pid
uint32_t gPidLastPruned = 0;

// Expects gPidLock held.
void pruneLocked(uint32_t now) {
    int removed = 0;
    int total = 0;
    PidEntry** link = &gPids;
    while (*link != nullptr) {
        PidEntry* entry = *link;
        ++total;
        if (now - entry->time >= ZORVANE_PID_IDLE_MINUTES) {
            *link = entry->next;
            FreeMemory(entry);
            ++removed;
        } else {
            link = &entry->next;
        }
    }
    gPidLastPruned = now;
    ZorvLog(ZORVANE_DBG_TRACE, "pid removed count %d total %d\n", removed, total);
}

// The link where `pid` is or would be inserted. Expects gPidLock held.
PidEntry** findLocked(uint64_t pid) {
    PidEntry** link = &gPids;
    while (*link != nullptr && (*link)->pid > pid) {
        link = &(*link)->next;
    }
    return link;
}

}  // namespace

void ZorvaneInitPidChildMap() {
    OsSpinLockInit(&gPidLock);
    gPids = nullptr;
    gPidLastPruned = ZorvaneMinutesNow();
}

void ZorvaneFreePidChildMap() {
    CleanupPidChildMap();
    OsSpinLockDestroy(&gPidLock);
}

int AddToPidChildMap(uint64_t pid, uint32_t childId) {
    ZorvLog(ZORVANE_DBG_TRACE, "AddToPidChildMap %d %ld\n", static_cast<int>(childId),
            static_cast<long>(pid));
    int stored = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPidLock, &handle);
    const uint32_t now = ZorvaneMinutesNow();
    PidEntry** link = findLocked(pid);
    PidEntry* entry = *link;
    if (entry == nullptr || entry->pid != pid) {
        entry = static_cast<PidEntry*>(AllocateMemory(sizeof(PidEntry)));
        if (entry != nullptr) {
            entry->pid = pid;
            entry->next = *link;
            *link = entry;
        }
    }
    if (entry != nullptr) {
        entry->childId = childId;
        entry->time = now;
        stored = 1;
    }
    if (now - gPidLastPruned > ZORVANE_PID_PRUNE_MINUTES) {
        pruneLocked(now);
    }
    OsSpinLockRelease(&handle);
    return stored;
}

uint32_t GetChildIdForPid(uint64_t pid, int* found) {
    if (found != nullptr) {
        *found = 0;
    }
    if (pid == 0) {
        return 0;
    }
    uint32_t childId = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPidLock, &handle);
    PidEntry* entry = *findLocked(pid);
    if (entry != nullptr && entry->pid == pid) {
        entry->time = ZorvaneMinutesNow();
        childId = entry->childId;
        if (found != nullptr) {
            *found = 1;
        }
    }
    OsSpinLockRelease(&handle);
    ZorvLog(ZORVANE_DBG_TRACE, "GetChildIdForPid childId %d pid %ld\n", static_cast<int>(childId),
            static_cast<long>(pid));
    return childId;
}

void CleanupPidChildMap() {
    ZorvLog(ZORVANE_DBG_TRACE, "CleanupPidChildMap\n");
    OsLockHandle handle;
    OsSpinLockAcquire(&gPidLock, &handle);
    PidEntry* entry = gPids;
    gPids = nullptr;
    while (entry != nullptr) {
        PidEntry* next = entry->next;
        ZorvLog(ZORVANE_DBG_TRACE, "CleanupPidChildMap %d %ld\n", static_cast<int>(entry->childId),
                static_cast<long>(entry->pid));
        FreeMemory(entry);
        entry = next;
    }
    OsSpinLockRelease(&handle);
}

uint32_t ZorvaneListPidMap(uint64_t* pids, uint32_t max) {
    uint32_t count = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPidLock, &handle);
    for (const PidEntry* entry = gPids; entry != nullptr; entry = entry->next) {
        if (count < max) {
            pids[count] = entry->pid;
        }
        ++count;
    }
    OsSpinLockRelease(&handle);
    return count;
}

#include <cstring>

#include "BlockPool.h"
#include "ChildMaps.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

// The SID text follows the entry in the same pool allocation.
struct WinUserEntry {
    char* sid;
    uint32_t length;
    uint32_t childId;
    WinUserEntry* next;
};

// Guards gWinUsers and every entry in it.
OsSpinLock gWinUserLock;
WinUserEntry* gWinUsers = nullptr;

// Expects gWinUserLock held.
void dumpLocked() {
    if (!ZorvaneDebugEnabled(ZORVANE_DBG_TRACE)) {
        return;
    }
    ZorvLog(ZORVANE_DBG_TRACE, "\n\n######### WinUser Map DUMP ###########\n");
    for (const WinUserEntry* entry = gWinUsers; entry != nullptr; entry = entry->next) {
        ZorvLog(ZORVANE_DBG_TRACE, "sid - %s\n", entry->sid);
        ZorvLog(ZORVANE_DBG_TRACE, "childId - %d\n\n", static_cast<int>(entry->childId));
    }
    ZorvLog(ZORVANE_DBG_TRACE, "############# end ################\n\n");
}

void freeList(WinUserEntry* entry) {
    while (entry != nullptr) {
        WinUserEntry* next = entry->next;
        FreeMemory(entry);
        entry = next;
    }
}

}  // namespace

void ZorvaneInitWinUserMap() {
    OsSpinLockInit(&gWinUserLock);
    gWinUsers = nullptr;
}

void ZorvaneFreeWinUserMap() {
    CleanupWinUserMap();
    OsSpinLockDestroy(&gWinUserLock);
}

int AddToWinUserMap(const char* sid, uint32_t length, uint32_t childId) {
    if (sid == nullptr || length == 0) {
        return 0;
    }
    int stored = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gWinUserLock, &handle);
    WinUserEntry* entry = gWinUsers;
    while (entry != nullptr && !(entry->length == length && memcmp(entry->sid, sid, length) == 0)) {
        entry = entry->next;
    }
    if (entry == nullptr) {
        entry = static_cast<WinUserEntry*>(AllocateMemory(sizeof(WinUserEntry) + length + 1));
        if (entry != nullptr) {
            entry->sid = reinterpret_cast<char*>(entry + 1);
            memcpy(entry->sid, sid, length);
            entry->sid[length] = 0;
            entry->length = length;
            entry->childId = 0xFFFFFFFFu;
            entry->next = gWinUsers;
            gWinUsers = entry;
        }
    }
    if (entry != nullptr) {
        entry->childId = childId;
        stored = 1;
        dumpLocked();
    }
    OsSpinLockRelease(&handle);
    return stored;
}

uint32_t GetChildIdForSid(const char* sid, int* found) {
    if (found != nullptr) {
        *found = 0;
    }
    if (sid == nullptr) {
        return 0;
    }
    uint32_t childId = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gWinUserLock, &handle);
    for (const WinUserEntry* entry = gWinUsers; entry != nullptr; entry = entry->next) {
        if (strcmp(entry->sid, sid) == 0) {
            childId = entry->childId;
            if (found != nullptr) {
                *found = 1;
            }
            ZorvLog(ZORVANE_DBG_TRACE, "GetChildIdForSid for %s is %d\n", sid,
                    static_cast<int>(childId));
            break;
        }
    }
    OsSpinLockRelease(&handle);
    return childId;
}

void CleanupWinUserMap() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gWinUserLock, &handle);
    WinUserEntry* detached = gWinUsers;
    gWinUsers = nullptr;
    OsSpinLockRelease(&handle);
    freeList(detached);
}

uint32_t ZorvaneSidMapSize() {
    uint32_t count = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gWinUserLock, &handle);
    for (const WinUserEntry* entry = gWinUsers; entry != nullptr; entry = entry->next) {
        ++count;
    }
    OsSpinLockRelease(&handle);
    return count;
}

void ZorvaneVisitSidMap(void (*visit)(void* argument, const char* sid, uint32_t childId),
                        void* argument) {
    OsLockHandle handle;
    OsSpinLockAcquire(&gWinUserLock, &handle);
    for (const WinUserEntry* entry = gWinUsers; entry != nullptr; entry = entry->next) {
        visit(argument, entry->sid, entry->childId);
    }
    OsSpinLockRelease(&handle);
}

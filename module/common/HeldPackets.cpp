#include "BlockPool.h"
#include "Clock.h"
#include "Https.h"
#include "Injection.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

struct PendedPacket {
    ZorvaneConnKey key;
    ZorvanePacket* packet;
    uint32_t time;   // seconds clock when held
    int32_t status;  // the port's status once decided
    PendedPacket* next;
};

// Guards the FIFO and gHeldCount. Taken before the port-list lock.
OsSpinLock gPendedLock;
PendedPacket* gPendedHead = nullptr;
PendedPacket* gPendedTail = nullptr;
uint32_t gHeldCount = 0;

bool sameConnection(const ZorvaneConnKey& a, const ZorvaneConnKey& b) {
    return a.localPort == b.localPort && a.remotePort == b.remotePort &&
           a.remoteAddress == b.remoteAddress;
}

// Expects gPendedLock held. Unlinks `entry` (whose predecessor is `previous`,
// or null at the head) and returns its successor.
PendedPacket* unlink(PendedPacket* previous, PendedPacket* entry) {
    PendedPacket* next = entry->next;
    if (previous != nullptr) {
        previous->next = next;
    } else {
        gPendedHead = next;
    }
    if (gPendedTail == entry) {
        gPendedTail = previous;
    }
    entry->next = nullptr;
    --gHeldCount;
    return next;
}

// Expects gPendedLock held: moves the oldest entry of `key` (of any
// connection when key is null) to the front of *dropped.
bool dropOldest(const ZorvaneConnKey* key, PendedPacket** dropped) {
    PendedPacket* previous = nullptr;
    for (PendedPacket* entry = gPendedHead; entry != nullptr; entry = entry->next) {
        if (key == nullptr || sameConnection(*key, entry->key)) {
            unlink(previous, entry);
            entry->next = *dropped;
            *dropped = entry;
            return true;
        }
        previous = entry;
    }
    return false;
}

// Frees the packets (the connection fails closed) outside every lock.
uint32_t freeList(PendedPacket* list) {
    uint32_t count = 0;
    while (list != nullptr) {
        PendedPacket* entry = list;
        list = entry->next;
        ZorvaneFreePacket(entry->packet);
        FreeMemory(entry);
        ++count;
    }
    return count;
}

}  // namespace

void ZorvaneInitHeldPackets() {
    OsSpinLockInit(&gPendedLock);
    gPendedHead = nullptr;
    gPendedTail = nullptr;
    gHeldCount = 0;
}

void ZorvaneFreeHeldPackets() {
    PendedPacket* list = gPendedHead;
    gPendedHead = nullptr;
    gPendedTail = nullptr;
    gHeldCount = 0;
    freeList(list);
    OsSpinLockDestroy(&gPendedLock);
}

bool HoldHttpsPacket(const ZorvaneConnKey& key, ZorvanePacket* packet) {
    auto* held = static_cast<PendedPacket*>(AllocateZeroedMemory(sizeof(PendedPacket)));
    if (held == nullptr) {
        return false;
    }
    held->key = key;
    held->packet = packet;
    held->time = ZorvaneSecondsNow();

    PendedPacket* dropped = nullptr;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPendedLock, &handle);
    uint32_t ofConnection = 0;
    for (PendedPacket* entry = gPendedHead; entry != nullptr; entry = entry->next) {
        ofConnection += sameConnection(key, entry->key) ? 1 : 0;
    }
    if (ofConnection >= ZORVANE_HELD_PER_CONNECTION) {
        dropOldest(&key, &dropped);
    } else if (gHeldCount >= ZORVANE_HELD_TOTAL) {
        dropOldest(nullptr, &dropped);
    }
    if (gPendedTail != nullptr) {
        gPendedTail->next = held;
    } else {
        gPendedHead = held;
    }
    gPendedTail = held;
    ++gHeldCount;
    OsSpinLockRelease(&handle);

    if (dropped != nullptr) {
        const uint32_t count = freeList(dropped);
        ZorvLog(ZORVANE_DBG_ERROR, "held packets over the bound: dropped %u of port %d\n",
                static_cast<unsigned>(count), static_cast<int>(key.localPort));
    }
    return true;
}

int32_t ProcessHttpsPendedPackets() {
    ZorvLog(ZORVANE_DBG_TRACE, "ProcessHttpsPendedPackets\n");
    // Decided entries leave the list under its lock; they are injected or
    // freed after it, in their order.
    PendedPacket* decidedHead = nullptr;
    PendedPacket* decidedTail = nullptr;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPendedLock, &handle);
    PendedPacket* previous = nullptr;
    PendedPacket* entry = gPendedHead;
    while (entry != nullptr) {
        const int32_t status = StatusOfPort(entry->key);
        if (status == ZORVANE_HOST_PENDING) {
            previous = entry;
            entry = entry->next;
            continue;
        }
        PendedPacket* decided = entry;
        entry = unlink(previous, entry);
        decided->status = status;
        if (decidedTail != nullptr) {
            decidedTail->next = decided;
        } else {
            decidedHead = decided;
        }
        decidedTail = decided;
    }
    OsSpinLockRelease(&handle);

    int32_t result = 0;
    while (decidedHead != nullptr) {
        PendedPacket* decided = decidedHead;
        decidedHead = decided->next;
        const int32_t status = decided->status;
        ZorvLog(ZORVANE_DBG_TRACE, "ProcessHostStatus status %d\n", static_cast<int>(status));
        if (status == ZORVANE_HOST_ALLOWED || status == ZORVANE_HOST_ALLOWED_NOCACHE) {
            if (SendPacket(decided->packet)) {
                result = 1;
            } else {
                ZorvaneFreePacket(decided->packet);
                result = 0;
            }
        } else {
            ZorvaneFreePacket(decided->packet);
            result =
                status == ZORVANE_HOST_BLOCKED || status == ZORVANE_HOST_BLOCKED_NOCACHE ? 1 : 0;
        }
        FreeMemory(decided);
    }
    ZorvaneExpireHeldPackets();
    return result;
}

uint32_t ZorvaneExpireHeldPackets() {
    const uint32_t now = ZorvaneSecondsNow();
    PendedPacket* dropped = nullptr;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPendedLock, &handle);
    // Oldest first: stop at the first one still young.
    while (gPendedHead != nullptr && now - gPendedHead->time > ZORVANE_HELD_SECONDS) {
        dropOldest(nullptr, &dropped);
    }
    OsSpinLockRelease(&handle);
    const uint32_t count = freeList(dropped);
    if (count > 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "held packets too old: dropped %u\n",
                static_cast<unsigned>(count));
    }
    return count;
}

uint32_t ZorvaneHeldPacketCount() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gPendedLock, &handle);
    const uint32_t count = gHeldCount;
    OsSpinLockRelease(&handle);
    return count;
}

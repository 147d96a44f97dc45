#include "BlockPool.h"
#include "Clock.h"
#include "Https.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

struct PortStatusEntry {
    ZorvaneConnKey key;
    HostStatusEntry* host;  // holds one reference
    uint32_t time;          // seconds clock of the last use
    PortStatusEntry* next;
};

// Guards gPorts, every entry and gPortLastPruned. Taken before the host lock.
OsSpinLock gPortLock;
PortStatusEntry* gPorts = nullptr;
uint32_t gPortLastPruned = 0;

// Descending by local port, then remote port, then remote address.
int compareKey(const ZorvaneConnKey& a, const ZorvaneConnKey& b) {
    if (a.localPort != b.localPort) {
        return a.localPort < b.localPort ? -1 : 1;
    }
    if (a.remotePort != b.remotePort) {
        return a.remotePort < b.remotePort ? -1 : 1;
    }
    if (a.remoteAddress != b.remoteAddress) {
        return a.remoteAddress < b.remoteAddress ? -1 : 1;
    }
    return 0;
}

// Expects gPortLock held; *link is where the key's entry is or would go.
PortStatusEntry* findPort(const ZorvaneConnKey& key, PortStatusEntry*** link) {
    PortStatusEntry** at = &gPorts;
    while (*at != nullptr) {
        const int order = compareKey(key, (*at)->key);
        if (order == 0) {
            *link = at;
            return *at;
        }
        if (order > 0) {
            break;
        }
        at = &(*at)->next;
    }
    *link = at;
    return nullptr;
}

// Expects gPortLock held.
void dumpPorts() {
    if (!ZorvaneDebugEnabled(ZORVANE_DBG_TRACE)) {
        return;
    }
    ZorvanePrint(ZORVANE_DBG_TRACE, "\n\n######### port list dump ###########\n");
    ZorvanePrint(ZORVANE_DBG_TRACE, "last check time %d\n", static_cast<int>(gPortLastPruned));
    for (PortStatusEntry* entry = gPorts; entry != nullptr; entry = entry->next) {
        ZorvanePrint(ZORVANE_DBG_TRACE, "port - %d\n", entry->key.localPort);
        ZorvanePrint(ZORVANE_DBG_TRACE, "time - %d\n", static_cast<int>(entry->time));
        ZorvanePrint(ZORVANE_DBG_TRACE, "host status addr %p\n", static_cast<void*>(entry->host));
        if (entry->host != nullptr) {
            ZorvanePrint(ZORVANE_DBG_TRACE, "host - %s\n\n", HostEntryText(entry->host));
        } else {
            ZorvanePrint(ZORVANE_DBG_TRACE, "host status is NULL\n");
        }
    }
}

// Expects gPortLock held.
void prunePorts(uint32_t now) {
    gPortLastPruned = now;
    int removed = 0;
    PortStatusEntry** at = &gPorts;
    while (*at != nullptr) {
        PortStatusEntry* entry = *at;
        if (now - entry->time > ZORVANE_HTTPS_PORT_IDLE_SECONDS) {
            *at = entry->next;
            if (entry->host != nullptr) {
                ReleaseHostEntry(entry->host);
            }
            FreeMemory(entry);
            ++removed;
        } else {
            at = &entry->next;
        }
    }
    ZorvLog(ZORVANE_DBG_TRACE, "port removed count %d\n", removed);
}

}  // namespace

void ZorvaneInitPortList() {
    OsSpinLockInit(&gPortLock);
    gPorts = nullptr;
    gPortLastPruned = ZorvaneSecondsNow();
}

// The host entries are freed with their list; only the references go here.
void ZorvaneFreePortList() {
    while (gPorts != nullptr) {
        PortStatusEntry* entry = gPorts;
        gPorts = entry->next;
        FreeMemory(entry);
    }
    OsSpinLockDestroy(&gPortLock);
}

int AddToPortList(const ZorvaneConnKey& key, uint32_t childId, const char* host, uint32_t length) {
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    ZorvLog(ZORVANE_DBG_TRACE, "AddToPortList %d %d %s\n", key.localPort, static_cast<int>(childId),
            host);
    HostStatusEntry* hostEntry = GetHostEntry(childId, host, length);
    if (hostEntry == nullptr) {
        ZorvLog(ZORVANE_DBG_ERROR, "cannot get host entry\n");
        OsSpinLockRelease(&handle);
        return 0;
    }
    PortStatusEntry** link = nullptr;
    PortStatusEntry* entry = findPort(key, &link);
    if (entry == nullptr) {
        entry = static_cast<PortStatusEntry*>(AllocateZeroedMemory(sizeof(PortStatusEntry)));
        if (entry == nullptr) {
            ReleaseHostEntry(hostEntry);
            OsSpinLockRelease(&handle);
            return 0;
        }
        entry->key = key;
        entry->next = *link;
        *link = entry;
    }
    if (entry->host != nullptr) {
        ReleaseHostEntry(entry->host);
    }
    entry->host = hostEntry;
    entry->time = ZorvaneSecondsNow();
    dumpPorts();
    OsSpinLockRelease(&handle);
    return 1;
}

void RemoveFromPortList(const ZorvaneConnKey& key) {
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    PortStatusEntry** link = nullptr;
    PortStatusEntry* entry = findPort(key, &link);
    if (entry != nullptr) {
        *link = entry->next;
        ReleaseHostEntry(entry->host);
        FreeMemory(entry);
    }
    OsSpinLockRelease(&handle);
}

int32_t StatusOfPort(const ZorvaneConnKey& key) {
    const uint32_t now = ZorvaneSecondsNow();
    int32_t status = -1;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    PortStatusEntry** link = nullptr;
    PortStatusEntry* entry = findPort(key, &link);
    if (entry != nullptr && now - entry->time <= ZORVANE_HTTPS_PORT_IDLE_SECONDS) {
        entry->time = now;
        status = static_cast<int32_t>(HostEntryStatusForPacket(entry->host));
        ZorvLog(ZORVANE_DBG_TRACE, "StatusOfPort %d for host %s is %d\n", key.localPort,
                HostEntryText(entry->host), static_cast<int>(status));
    }
    if (now - gPortLastPruned > ZORVANE_HTTPS_PORT_PRUNE_SECONDS) {
        prunePorts(now);
    }
    ZorvLog(ZORVANE_DBG_TRACE, "StatusOfPort %d is %d\n", key.localPort, static_cast<int>(status));
    OsSpinLockRelease(&handle);
    return status;
}

uint32_t ZorvanePortListCount() {
    uint32_t count = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gPortLock, &handle);
    for (PortStatusEntry* entry = gPorts; entry != nullptr; entry = entry->next) {
        ++count;
    }
    OsSpinLockRelease(&handle);
    return count;
}

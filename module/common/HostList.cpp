#include <cstring>

#include "BlockPool.h"
#include "Clock.h"
#include "Https.h"
#include "ReadQueue.h"
#include "ZorvaneLog.h"
#include "os_interface.h"
#include "zorvane_ioctl.h"

// One child's verdict about one host; the host text lives in the same pool
// allocation, right after the entry.
struct HostStatusEntry {
    char* host;
    uint32_t status;    // E_ZorvaneHostStatus
    uint32_t time;      // seconds clock of the last question or answer
    uint32_t refCount;  // port entries pointing here
    uint32_t length;
    uint32_t childId;
    uint32_t noticeTime;  // seconds clock of the last blocked-site notice
    bool noticeSent;
    HostStatusEntry* next;
};

namespace {

// One bucket per letter but "w", one for "www" hosts, one for other "w"
// hosts, one for everything else.
constexpr int kBucketCount = 28;
constexpr int kBucketWww = 25;
constexpr int kBucketW = 26;
constexpr int kBucketOther = 27;

// Guards the buckets, every entry's fields and gHostLastPruned.
OsSpinLock gHostLock;
HostStatusEntry* gBuckets[kBucketCount];
uint32_t gHostLastPruned = 0;

int bucketOf(const char* host, uint32_t length) {
    const char first = host[0];
    if (first < 'a' || first > 'z') {
        return kBucketOther;
    }
    if (first == 'w') {
        return length >= 3 && strncmp(host, "www", 3) == 0 ? kBucketWww : kBucketW;
    }
    return first < 'w' ? first - 'a' : first - 'a' - 1;
}

// Byte order of host texts, as strcmp but over counted bytes.
int compareHost(const char* host, uint32_t length, const HostStatusEntry* entry) {
    const uint32_t shorter = length < entry->length ? length : entry->length;
    const int order = memcmp(host, entry->host, shorter);
    if (order != 0) {
        return order;
    }
    return length == entry->length ? 0 : (length < entry->length ? -1 : 1);
}

// Expects gHostLock held. The entry of (childId, host), and in *link the
// place where a new one goes to keep the bucket in descending order.
HostStatusEntry* findEntry(uint32_t childId, const char* host, uint32_t length,
                           HostStatusEntry*** link) {
    HostStatusEntry** at = &gBuckets[bucketOf(host, length)];
    while (*at != nullptr) {
        const int order = compareHost(host, length, *at);
        if (order > 0) {
            break;
        }
        if (order == 0 && (*at)->childId == childId) {
            return *at;
        }
        at = &(*at)->next;
    }
    *link = at;
    return nullptr;
}

// Expects gHostLock held; the question is a copy, so the entry stays listed.
void askService(HostStatusEntry* entry) {
    DriverReadRecord* record = ZorvaneMakeReadRecord(
        static_cast<uint32_t>(E_ZorvaneModuleReadCommand::ZORVANE_READ_HTTPS_HOST_STATUS_CMD),
        entry->childId, entry->host, entry->length);
    if (record == nullptr) {
        ZorvLog(ZORVANE_DBG_ERROR, "host question for %s lost: no memory\n", entry->host);
        return;
    }
    ZorvaneQueueReadRecord(record);
}

// Expects gHostLock held.
void pruneHosts(uint32_t now) {
    gHostLastPruned = now;
    int removed = 0;
    for (HostStatusEntry*& bucket : gBuckets) {
        HostStatusEntry** at = &bucket;
        while (*at != nullptr) {
            HostStatusEntry* entry = *at;
            if (entry->refCount == 0 && now - entry->time > ZORVANE_HOST_IDLE_SECONDS) {
                *at = entry->next;
                FreeMemory(entry);
                ++removed;
            } else {
                at = &entry->next;
            }
        }
    }
    ZorvLog(ZORVANE_DBG_TRACE, "host count removed %d\n", removed);
}

}  // namespace

void ZorvaneInitHostList() {
    OsSpinLockInit(&gHostLock);
    for (HostStatusEntry*& bucket : gBuckets) {
        bucket = nullptr;
    }
    gHostLastPruned = ZorvaneSecondsNow();
}

void ZorvaneFreeHostList() {
    for (HostStatusEntry*& bucket : gBuckets) {
        while (bucket != nullptr) {
            HostStatusEntry* entry = bucket;
            bucket = entry->next;
            FreeMemory(entry);
        }
    }
    OsSpinLockDestroy(&gHostLock);
}

bool IsAlwaysAllowedHost(const char* host, uint32_t length) {
    for (const char* domain : ZORVANE_ALLOWED_DOMAINS) {
        const uint32_t domainLength = static_cast<uint32_t>(strlen(domain));
        if (length < domainLength || memcmp(host + length - domainLength, domain, domainLength)) {
            continue;
        }
        // The domain itself or a name under it, never "notzorvane.com".
        if (length == domainLength || host[length - domainLength - 1] == '.') {
            return true;
        }
    }
    return false;
}

HostStatusEntry* GetHostEntry(uint32_t childId, const char* host, uint32_t length) {
    if (length == 0) {
        return nullptr;
    }
    const uint32_t now = ZorvaneSecondsNow();
    OsLockHandle handle;
    OsSpinLockAcquire(&gHostLock, &handle);
    HostStatusEntry** link = nullptr;
    HostStatusEntry* entry = findEntry(childId, host, length, &link);
    bool created = false;
    if (entry != nullptr) {
        ZorvLog(ZORVANE_DBG_TRACE, "found old node - %s %d\n", entry->host,
                static_cast<int>(childId));
    } else {
        entry = static_cast<HostStatusEntry*>(
            AllocateZeroedMemory(sizeof(HostStatusEntry) + length + 1));
        if (entry == nullptr) {
            OsSpinLockRelease(&handle);
            return nullptr;
        }
        entry->host = reinterpret_cast<char*>(entry + 1);
        memcpy(entry->host, host, length);
        entry->host[length] = '\0';
        entry->length = length;
        entry->childId = childId;
        entry->status = ZORVANE_HOST_PENDING;
        entry->next = *link;
        *link = entry;
        created = true;
        ZorvLog(ZORVANE_DBG_TRACE, "inserting new node %s %d\n", entry->host,
                static_cast<int>(childId));
    }

    if (IsAlwaysAllowedHost(host, length)) {
        ZorvLog(ZORVANE_DBG_TRACE, "host is allowed %s\n", entry->host);
        entry->status = ZORVANE_HOST_ALLOWED;
        entry->time = now;
    } else if (created || now - entry->time > ZORVANE_HOST_REASK_SECONDS) {
        // The status stays: a cached verdict serves while the answer is awaited.
        ZorvLog(ZORVANE_DBG_TRACE, "sending request to service\n");
        askService(entry);
        entry->time = now;
    } else if (entry->status == ZORVANE_HOST_ALLOWED_NOCACHE ||
               entry->status == ZORVANE_HOST_BLOCKED_NOCACHE) {
        ZorvLog(ZORVANE_DBG_TRACE, "NOCACHE found sending request to service\n");
        askService(entry);
        entry->status = ZORVANE_HOST_PENDING;
        entry->time = now;
    }

    ++entry->refCount;
    if (now - gHostLastPruned > ZORVANE_HOST_PRUNE_SECONDS) {
        pruneHosts(now);
    }
    OsSpinLockRelease(&handle);
    return entry;
}

void ReleaseHostEntry(HostStatusEntry* entry) {
    OsLockHandle handle;
    OsSpinLockAcquire(&gHostLock, &handle);
    if (entry->refCount > 0) {
        --entry->refCount;
    }
    OsSpinLockRelease(&handle);
}

int UpdateHostStatus(uint32_t childId, const char* host, uint32_t status) {
    const uint32_t length = static_cast<uint32_t>(strlen(host));
    if (length == 0) {
        return 0;
    }
    OsLockHandle handle;
    OsSpinLockAcquire(&gHostLock, &handle);
    HostStatusEntry** link = nullptr;
    HostStatusEntry* entry = findEntry(childId, host, length, &link);
    ZorvLog(ZORVANE_DBG_TRACE, "UpdateHostStatus %s %d %d\n", host, static_cast<int>(childId),
            static_cast<int>(status));
    if (entry != nullptr) {
        entry->status = status;
        entry->time = ZorvaneSecondsNow();
    }
    OsSpinLockRelease(&handle);
    return entry != nullptr ? 1 : 0;
}

uint32_t HostEntryStatusForPacket(HostStatusEntry* entry) {
    const uint32_t now = ZorvaneSecondsNow();
    OsLockHandle handle;
    OsSpinLockAcquire(&gHostLock, &handle);
    const uint32_t status = entry->status;
    if ((status == ZORVANE_HOST_BLOCKED || status == ZORVANE_HOST_BLOCKED_NOCACHE) &&
        (!entry->noticeSent || now - entry->noticeTime >= ZORVANE_BLOCK_NOTICE_SECONDS)) {
        SendNotification(
            static_cast<uint32_t>(
                E_ZorvaneModuleReadCommand::ZORVANE_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD),
            static_cast<int32_t>(entry->length), entry->host, entry->childId);
        entry->noticeSent = true;
        entry->noticeTime = now;
    }
    OsSpinLockRelease(&handle);
    return status;
}

const char* HostEntryText(const HostStatusEntry* entry) {
    return entry->host;
}

uint32_t ZorvaneHostCount() {
    uint32_t count = 0;
    OsLockHandle handle;
    OsSpinLockAcquire(&gHostLock, &handle);
    for (HostStatusEntry* bucket : gBuckets) {
        for (HostStatusEntry* entry = bucket; entry != nullptr; entry = entry->next) {
            ++count;
        }
    }
    OsSpinLockRelease(&handle);
    return count;
}

#include "ReadQueue.h"

#include <cstring>

#include "BlockPool.h"
#include "zorvane_bytes.h"
#include "ZorvaneLog.h"
#include "os_interface.h"
#include "zorvane_ioctl.h"

namespace {

// Guards the list, its length and gUnloading. A spin lock: records are queued
// from classify paths, inside the maps' and lists' locks.
OsSpinLock gReadLock;
DriverReadRecord* gReadHead = nullptr;
DriverReadRecord* gReadTail = nullptr;
uint32_t gReadCount = 0;
bool gUnloading = false;
// Set while records wait; cleared by the read that takes one.
OsEvent gReadEvent;

constexpr uint32_t cmdValue(E_ZorvaneModuleReadCommand cmd) {
    return static_cast<uint32_t>(cmd);
}

// Expects gReadLock held.
DriverReadRecord* takeHead() {
    DriverReadRecord* record = gReadHead;
    if (record != nullptr) {
        gReadHead = record->next;
        if (gReadHead == nullptr) {
            gReadTail = nullptr;
        }
        --gReadCount;
    }
    return record;
}

// Expects gReadLock held.
void writeRecord(uint8_t* out, uint32_t length, const DriverReadRecord* record) {
    StoreLe32(out, record->cmd);
    StoreLe32(out + 4, record->value);
    const uint32_t room = length - ZORVANE_READ_RECORD_HEAD_SIZE;
    const uint32_t wanted = record->length + 1;
    const uint32_t copied = wanted < room ? wanted : room;
    if (copied > 0) {
        memcpy(out + ZORVANE_READ_RECORD_HEAD_SIZE, record->data, copied);
        if (copied < wanted) {
            out[ZORVANE_READ_RECORD_HEAD_SIZE + copied - 1] = 0;
        }
    }
}

}  // namespace

void ZorvaneInitReadQueue() {
    OsSpinLockInit(&gReadLock);
    OsEventInit(&gReadEvent);
    gReadHead = nullptr;
    gReadTail = nullptr;
    gReadCount = 0;
    gUnloading = false;
}

void ZorvaneUnloadReadQueue() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gReadLock, &handle);
    DriverReadRecord* record = gReadHead;
    gReadHead = nullptr;
    gReadTail = nullptr;
    gReadCount = 0;
    const bool first = !gUnloading;
    gUnloading = true;
    OsSpinLockRelease(&handle);
    while (record != nullptr) {
        DriverReadRecord* next = record->next;
        FreeMemory(record);
        record = next;
    }
    if (first) {
        ZorvLog(ZORVANE_DBG_INFO, "CleanupWindowsDeviceIo unloading\n");
    }
    OsEventSet(&gReadEvent);
}

void ZorvaneReadQueueCleanup() {
    OsEventDestroy(&gReadEvent);
    OsSpinLockDestroy(&gReadLock);
}

DriverReadRecord* ZorvaneMakeReadRecord(uint32_t cmd, uint32_t value, const void* data,
                                        uint32_t length) {
    auto* record = static_cast<DriverReadRecord*>(
        AllocateMemory(sizeof(DriverReadRecord) + static_cast<size_t>(length) + 1));
    if (record == nullptr) {
        return nullptr;
    }
    record->data = reinterpret_cast<char*>(record + 1);
    if (length > 0) {
        memcpy(record->data, data, length);
    }
    record->data[length] = 0;
    record->cmd = cmd;
    record->length = length;
    record->value = value;
    record->next = nullptr;
    return record;
}

void ZorvaneQueueReadRecord(DriverReadRecord* record) {
    if (record == nullptr) {
        return;
    }
    record->next = nullptr;
    bool queued = false;
    OsLockHandle handle;
    OsSpinLockAcquire(&gReadLock, &handle);
    if (!gUnloading && gReadCount < ZORVANE_READ_QUEUE_LIMIT) {
        if (gReadTail != nullptr) {
            gReadTail->next = record;
        } else {
            gReadHead = record;
        }
        gReadTail = record;
        ++gReadCount;
        queued = true;
        OsEventSet(&gReadEvent);
    }
    OsSpinLockRelease(&handle);
    if (!queued) {
        ZorvLog(ZORVANE_DBG_ERROR, "read record %d dropped\n", static_cast<int>(record->cmd));
        FreeMemory(record);
    }
}

void SendNotification(uint32_t cmd, int32_t length, const void* data, uint32_t value) {
    DriverReadRecord* record = nullptr;
    if (cmd == cmdValue(E_ZorvaneModuleReadCommand::ZORVANE_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD)) {
        if (data == nullptr || length < 0) {
            return;
        }
        record = ZorvaneMakeReadRecord(cmd, value, data, static_cast<uint32_t>(length));
    } else if (cmd == cmdValue(E_ZorvaneModuleReadCommand::ZORVANE_READ_NOTIFY_REDIRECT_PID)) {
        if (data == nullptr) {
            return;
        }
        // The 4 bytes of the process id are the payload; length + 1 of them
        // reach the reader.
        record = ZorvaneMakeReadRecord(cmd, value, data, sizeof(uint32_t));
        if (record != nullptr) {
            record->length = sizeof(uint32_t) - 1;
        }
    } else {
        ZorvLog(ZORVANE_DBG_ERROR, "SendNotification - Illegal command\n");
        return;
    }
    // A notice without memory is dropped; the service is not told.
    ZorvaneQueueReadRecord(record);
}

uint32_t ZorvaneReadStep(void* buffer, uint32_t length) {
    if (length < ZORVANE_READ_RECORD_HEAD_SIZE) {
        return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    OsLockHandle handle;
    OsSpinLockAcquire(&gReadLock, &handle);
    bool empty = gReadHead == nullptr;
    const bool unloading = gUnloading;
    OsSpinLockRelease(&handle);

    if (empty && !unloading) {
        ZorvLog(ZORVANE_DBG_TRACE, "waiting for event\n");
        const E_OsWaitResult result = OsEventWait(&gReadEvent, ZORVANE_READ_TIMEOUT);
        ZorvLog(ZORVANE_DBG_TRACE, "Got event\n");
        if (result == OS_WAIT_TIMEOUT) {
            OsSpinLockAcquire(&gReadLock, &handle);
            empty = gReadHead == nullptr;
            OsSpinLockRelease(&handle);
            if (empty) {
                StoreLe32(out, cmdValue(E_ZorvaneModuleReadCommand::ZORVANE_READ_CHECK_EXIT_CMD));
                return sizeof(uint32_t);
            }
        }
    }

    uint32_t written = 0;
    DriverReadRecord* record = nullptr;
    OsSpinLockAcquire(&gReadLock, &handle);
    if (!gUnloading) {
        record = takeHead();
        if (record != nullptr) {
            ZorvLog(ZORVANE_DBG_TRACE, "ReadFromList\n");
            writeRecord(out, length, record);
            const uint32_t wanted = ZORVANE_READ_RECORD_HEAD_SIZE + record->length + 1;
            written = wanted < length ? wanted : length;
        }
        OsEventClear(&gReadEvent);
    }
    // Once unloading, the event stays set so that no read waits again.
    OsSpinLockRelease(&handle);
    FreeMemory(record);
    return written;
}

uint32_t ZorvaneReadQueueLength() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gReadLock, &handle);
    const uint32_t count = gReadCount;
    OsSpinLockRelease(&handle);
    return count;
}

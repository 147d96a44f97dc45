#include "BlockPool.h"
#include "ChildMaps.h"
#include "Classify.h"
#include "Clock.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

// Held lookups, so that one that takes too long can be released. Whoever
// takes a context's completionContext under the lock completes it, once.
struct HeldList {
    OsSpinLock lock;
    ProcessLookupContext* head;
    uint32_t count;
    OsEvent wake;      // set by a new hold and by stop
    uint32_t pending;  // lookups queued and not yet finished
    OsEvent idle;      // set when pending drops to 0
    OsThread* thread;
    bool stopping;
};
HeldList gHeld;

// One second, in 100 ns units.
constexpr int64_t kSweepInterval = 10000000;

void link(ProcessLookupContext* context) {
    OsLockHandle handle;
    OsSpinLockAcquire(&gHeld.lock, &handle);
    context->heldSince = ZorvaneSecondsNow();
    context->nextHeld = gHeld.head;
    gHeld.head = context;
    ++gHeld.count;
    OsSpinLockRelease(&handle);
    OsEventSet(&gHeld.wake);
}

// Unlinks the context at `at` and hands over its hold.
// Caller holds gHeld.lock.
void* unlinkLocked(ProcessLookupContext** at) {
    ProcessLookupContext* context = *at;
    *at = context->nextHeld;
    context->nextHeld = nullptr;
    --gHeld.count;
    void* completion = context->completionContext;
    context->completionContext = nullptr;
    return completion;
}

// Unlinks the context when still held and returns its hold, or null.
void* takeHold(ProcessLookupContext* context) {
    void* completion = nullptr;
    OsLockHandle handle;
    OsSpinLockAcquire(&gHeld.lock, &handle);
    for (ProcessLookupContext** at = &gHeld.head; *at != nullptr; at = &(*at)->nextHeld) {
        if (*at == context) {
            completion = unlinkLocked(at);
            break;
        }
    }
    OsSpinLockRelease(&handle);
    return completion;
}

// Takes at most one hold that is due (or any, when `all`); null when none.
void* takeDue(bool all, uint64_t* pid) {
    void* completion = nullptr;
    const uint32_t now = ZorvaneSecondsNow();
    OsLockHandle handle;
    OsSpinLockAcquire(&gHeld.lock, &handle);
    for (ProcessLookupContext** at = &gHeld.head; *at != nullptr; at = &(*at)->nextHeld) {
        if (all || now - (*at)->heldSince >= ZORVANE_HOLD_SECONDS) {
            *pid = (*at)->pid;
            completion = unlinkLocked(at);
            break;
        }
    }
    OsSpinLockRelease(&handle);
    return completion;
}

void changePending(int by) {
    OsLockHandle handle;
    OsSpinLockAcquire(&gHeld.lock, &handle);
    gHeld.pending = static_cast<uint32_t>(static_cast<int>(gHeld.pending) + by);
    if (gHeld.pending == 0) {
        // Under the lock, so unload cannot destroy the event before this.
        OsEventSet(&gHeld.idle);
    }
    OsSpinLockRelease(&handle);
}

void sweeper(void*) {
    for (;;) {
        // Cleared before looking, so a hold added after the look wakes us.
        OsEventClear(&gHeld.wake);
        OsLockHandle handle;
        OsSpinLockAcquire(&gHeld.lock, &handle);
        const bool stopping = gHeld.stopping;
        const uint32_t held = gHeld.count;
        OsSpinLockRelease(&handle);
        if (stopping) {
            return;
        }
        // Idle without holds; while any is held, look once a second.
        OsEventWait(&gHeld.wake, held == 0 ? OS_WAIT_FOREVER : kSweepInterval);
        ZorvaneReleaseStaleHolds();
    }
}

}  // namespace

int ZorvaneStartLookups() {
    OsSpinLockInit(&gHeld.lock);
    OsEventInit(&gHeld.wake);
    gHeld.head = nullptr;
    gHeld.count = 0;
    gHeld.stopping = false;
    gHeld.pending = 0;
    OsEventInit(&gHeld.idle);
    gHeld.thread = OsStartSystemThread(sweeper, nullptr);
    if (gHeld.thread == nullptr) {
        OsEventDestroy(&gHeld.idle);
        OsEventDestroy(&gHeld.wake);
        OsSpinLockDestroy(&gHeld.lock);
        return 0;
    }
    return 1;
}

void ZorvaneStopLookups() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gHeld.lock, &handle);
    gHeld.stopping = true;
    OsSpinLockRelease(&handle);
    OsEventSet(&gHeld.wake);
    OsWaitForSystemThread(gHeld.thread);
    gHeld.thread = nullptr;
    // Nothing may stay held once the filter is gone; the lookups still
    // queued find their hold taken and complete nothing.
    uint64_t pid = 0;
    while (void* completion = takeDue(true, &pid)) {
        ZorvLog(ZORVANE_DBG_INFO, "releasing held connection of process %lu at unload\n",
                static_cast<unsigned long>(pid));
        OsCompleteOperation(completion);
    }
    // Queued lookups use the maps and pools: they must finish before those go.
    for (;;) {
        OsEventClear(&gHeld.idle);
        OsSpinLockAcquire(&gHeld.lock, &handle);
        const uint32_t pending = gHeld.pending;
        OsSpinLockRelease(&handle);
        if (pending == 0) {
            break;
        }
        OsEventWait(&gHeld.idle, OS_WAIT_FOREVER);
    }
    OsEventDestroy(&gHeld.idle);
    OsEventDestroy(&gHeld.wake);
    OsSpinLockDestroy(&gHeld.lock);
}

int ZorvaneReleaseStaleHolds() {
    int released = 0;
    uint64_t pid = 0;
    while (void* completion = takeDue(false, &pid)) {
        ZorvLog(ZORVANE_DBG_ERROR,
                "process lookup of %lu took too long, releasing connection unmapped\n",
                static_cast<unsigned long>(pid));
        OsCompleteOperation(completion);
        ++released;
    }
    return released;
}

uint32_t ZorvaneHeldCount() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gHeld.lock, &handle);
    const uint32_t count = gHeld.count;
    OsSpinLockRelease(&handle);
    return count;
}

bool ZorvaneQueueLookup(ProcessLookupContext* context) {
    if (context->completionContext != nullptr) {
        link(context);
    }
    // From here the sweeper may take the hold; the context itself is ours.
    changePending(1);
    if (OsQueueWorkItem(populateSidForPid, context)) {
        return true;
    }
    changePending(-1);
    context->completionContext = takeHold(context);
    return false;
}

char* GetUserSidForToken(OsProcessToken* token) {
    uint32_t size = 0;
    const E_OsTokenUser asked = OsQueryTokenUser(token, nullptr, &size);
    if (asked != OS_TOKEN_USER_TOO_SMALL) {
        ZorvLog(ZORVANE_DBG_ERROR, "Token Error 1\n");
        return nullptr;
    }
    ZorvLog(ZORVANE_DBG_TRACE, "allocating token memory %d\n", static_cast<int>(size));
    auto* buffer = static_cast<char*>(AllocateZeroedMemory(size + 1));
    if (buffer == nullptr) {
        ZorvLog(ZORVANE_DBG_ERROR, "failed! allocating token memory %d\n", static_cast<int>(size));
        return nullptr;
    }
    uint32_t length = size;
    if (OsQueryTokenUser(token, buffer, &length) != OS_TOKEN_USER_OK || buffer[0] != 'S') {
        ZorvLog(ZORVANE_DBG_ERROR, "Token Error 2\n");
        FreeMemory(buffer);
        return nullptr;
    }
    ZorvLog(ZORVANE_DBG_TRACE, "got user SID isValid - %d!!!\n", 1);
    ZorvLog(ZORVANE_DBG_TRACE, "sid to string conversion done\n");
    uint32_t textLength = 0;
    while (textLength < size && buffer[textLength] != '\0') {
        ++textLength;
    }
    buffer[textLength] = '\0';
    ZorvLog(ZORVANE_DBG_TRACE, "sid GetUserSidForToken %s %d\n", buffer,
            static_cast<int>(textLength));
    return buffer;
}

void populateSidForPid(void* item) {
    auto* context = static_cast<ProcessLookupContext*>(item);
    ZorvLog(ZORVANE_DBG_TRACE, "work item PID %d\n", static_cast<int>(context->pid));
    OsProcessToken token;
    const E_OsProcessOpen opened = OsOpenProcessToken(context->pid, &token);
    switch (opened) {
        case OS_PROCESS_OPENED:
        case OS_PROCESS_NO_TOKEN:
            ZorvLog(ZORVANE_DBG_TRACE, "ZwOpenProcess STATUS_SUCCESS\n");
            break;
        case OS_PROCESS_PARAMETER_MIX:
            ZorvLog(ZORVANE_DBG_ERROR, "ZwOpenProcess STATUS_INVALID_PARAMETER_MIX\n");
            break;
        case OS_PROCESS_INVALID_ID:
            ZorvLog(ZORVANE_DBG_ERROR, "ZwOpenProcess STATUS_INVALID_CID\n");
            break;
        case OS_PROCESS_INVALID_PARAMETER:
            ZorvLog(ZORVANE_DBG_ERROR, "ZwOpenProcess STATUS_INVALID_PARAMETER\n");
            break;
        case OS_PROCESS_ACCESS_DENIED:
            ZorvLog(ZORVANE_DBG_ERROR, "ZwOpenProcess STATUS_ACCESS_DENIED\n");
            break;
        default:
            ZorvLog(ZORVANE_DBG_ERROR, "ZwOpenProcess default\n");
            break;
    }
    if (opened == OS_PROCESS_NO_TOKEN) {
        ZorvLog(ZORVANE_DBG_ERROR, "ZwOpenProcessTokenEx failed!!!\n");
    } else if (opened == OS_PROCESS_OPENED) {
        ZorvLog(ZORVANE_DBG_TRACE, "ZwOpenProcessTokenEx success\n");
        char* sid = GetUserSidForToken(&token);
        if (sid == nullptr) {
            ZorvLog(ZORVANE_DBG_ERROR, "error getting SID\n");
        } else {
            const uint32_t childId = GetChildIdForSid(sid);
            ZorvLog(ZORVANE_DBG_TRACE, "populateSidForPid %s %d %d %u\n", sid,
                    static_cast<int>(childId), static_cast<int>(context->srcPort),
                    static_cast<unsigned>(context->pid));
            // Child 1 is stored for the user but never learned for processes.
            if (childId > 1) {
                AddToPidChildMap(context->pid, childId);
                AddToPortChildMap(context->srcPort, childId, context->flowHandle);
            }
            FreeMemory(sid);
        }
        OsCloseProcessToken(&token);
    }
    // The hold may have been released already when the lookup took too long.
    if (void* completion = takeHold(context)) {
        ZorvLog(ZORVANE_DBG_TRACE, "reinjecting ale packet\n");
        OsCompleteOperation(completion);
    }
    FreeMemory(context);
    changePending(-1);  // last: unload may free everything from here on
}

#include "Injection.h"

#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

// Lock order: gOuterLock, then gQueueLock. gQueueLock alone guards taking a
// packet; both guard appending, gDriverUnloading and clearing gQueueEvent.
OsSpinLock gOuterLock;
OsSpinLock gQueueLock;
ZorvanePacket* gPacketQueueHead = nullptr;
ZorvanePacket* gPacketQueueTail = nullptr;
bool gDriverUnloading = true;
// Set while the queue holds packets (and to wake the worker for stopping).
OsEvent gQueueEvent;
OsThread* gThreadObj = nullptr;

// Expects gOuterLock and gQueueLock held.
void appendPacket(ZorvanePacket* packet) {
    packet->queueNext = nullptr;
    packet->queuePrev = gPacketQueueTail;
    if (gPacketQueueTail != nullptr) {
        gPacketQueueTail->queueNext = packet;
    } else {
        gPacketQueueHead = packet;
    }
    gPacketQueueTail = packet;
}

// Expects gQueueLock held.
ZorvanePacket* takeHead() {
    ZorvanePacket* packet = gPacketQueueHead;
    if (packet != nullptr) {
        gPacketQueueHead = packet->queueNext;
        if (gPacketQueueHead != nullptr) {
            gPacketQueueHead->queuePrev = nullptr;
        } else {
            gPacketQueueTail = nullptr;
        }
        packet->queueNext = nullptr;
        packet->queuePrev = nullptr;
    }
    return packet;
}

void ZorvaneWorker(void* /*context*/) {
    ZorvLog(ZORVANE_DBG_INFO, "inside worker thread \n");
    for (;;) {
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneWorker waiting for event\n");
        OsEventWait(&gQueueEvent, OS_WAIT_FOREVER);
        ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneWorker got event\n");

        OsLockHandle queueHandle;
        OsSpinLockAcquire(&gQueueLock, &queueHandle);
        const bool unloading = gDriverUnloading;
        ZorvanePacket* packet = unloading ? nullptr : takeHead();
        OsSpinLockRelease(&queueHandle);
        if (unloading) {
            break;
        }
        if (packet != nullptr && !ZorvaneInjectPacket(packet)) {
            ZorvaneFreePacket(packet);
        }

        OsLockHandle outerHandle;
        OsSpinLockAcquire(&gOuterLock, &outerHandle);
        OsSpinLockAcquire(&gQueueLock, &queueHandle);
        if (gPacketQueueHead == nullptr && !gDriverUnloading) {
            ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneWorker resetting event\n");
            OsEventClear(&gQueueEvent);
        }
        OsSpinLockRelease(&queueHandle);
        OsSpinLockRelease(&outerHandle);
    }

    // Nothing is injected once stopping began; what is left is dropped.
    for (;;) {
        OsLockHandle queueHandle;
        OsSpinLockAcquire(&gQueueLock, &queueHandle);
        ZorvanePacket* packet = takeHead();
        OsSpinLockRelease(&queueHandle);
        if (packet == nullptr) {
            break;
        }
        ZorvaneFreePacket(packet);
    }
}

}  // namespace

int ZorvaneStartInjectionWorker() {
    OsSpinLockInit(&gOuterLock);
    OsSpinLockInit(&gQueueLock);
    OsEventInit(&gQueueEvent);
    gPacketQueueHead = nullptr;
    gPacketQueueTail = nullptr;
    gDriverUnloading = false;
    gThreadObj = OsStartSystemThread(ZorvaneWorker, nullptr);
    if (gThreadObj == nullptr) {
        ZorvLog(ZORVANE_DBG_ERROR, "injection worker not started\n");
        gDriverUnloading = true;
        return 0;
    }
    return 1;
}

void ZorvaneStopInjectionWorker() {
    OsLockHandle outerHandle;
    OsLockHandle queueHandle;
    OsSpinLockAcquire(&gOuterLock, &outerHandle);
    OsSpinLockAcquire(&gQueueLock, &queueHandle);
    gDriverUnloading = true;
    // With packets queued the event is set already; setting it again is harmless.
    OsEventSet(&gQueueEvent);
    OsSpinLockRelease(&queueHandle);
    OsSpinLockRelease(&outerHandle);

    if (gThreadObj != nullptr) {
        OsWaitForSystemThread(gThreadObj);
        gThreadObj = nullptr;
    }
}

void ZorvaneInjectionCleanup() {
    OsEventDestroy(&gQueueEvent);
    OsSpinLockDestroy(&gQueueLock);
    OsSpinLockDestroy(&gOuterLock);
}

bool SendPacket(ZorvanePacket* packet) {
    ZorvLog(ZORVANE_DBG_TRACE, "^^^^^^^^SendPacket^^^^^^^^^\n");
    bool queued = false;
    bool wasEmpty = false;
    OsLockHandle outerHandle;
    OsLockHandle queueHandle;
    OsSpinLockAcquire(&gOuterLock, &outerHandle);
    OsSpinLockAcquire(&gQueueLock, &queueHandle);
    if (!gDriverUnloading) {
        wasEmpty = gPacketQueueHead == nullptr;
        appendPacket(packet);
        queued = true;
    }
    OsSpinLockRelease(&queueHandle);
    OsSpinLockRelease(&outerHandle);
    if (queued && wasEmpty) {
        OsEventSet(&gQueueEvent);
        ZorvLog(ZORVANE_DBG_TRACE, "signalled worker thread\n");
    }
    return queued;
}

bool ZorvaneInjectPacket(ZorvanePacket* packet) {
    const int sourcePort = ZorvanePacketSourcePort(packet);
    const int destinationPort = ZorvanePacketDestinationPort(packet);
    bool accepted = false;
    switch (packet->layerId) {
        case ZORVANE_LAYER_INBOUND_IPPACKET_V4:
        case ZORVANE_LAYER_INBOUND_IPPACKET_V4_DISCARD:
            ZorvLog(ZORVANE_DBG_TRACE, "Injection IpPacket %d %d\n", sourcePort, destinationPort);
            if (packet->newPacket != 0) {
                ZorvLog(ZORVANE_DBG_TRACE, "new packet is injected\n");
            }
            accepted = OsPacketInjectReceive(packet);
            break;
        case ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4:
        case ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD:
            ZorvLog(ZORVANE_DBG_TRACE, "Injection transport %d %d\n", sourcePort, destinationPort);
            accepted = OsPacketInjectSend(packet);
            break;
        default:
            break;
    }
    // An accepted packet may be freed already: only the result is used below.
    if (accepted) {
        ZorvLog(ZORVANE_DBG_TRACE, "############Injection Successful##############\n");
    } else {
        ZorvLog(ZORVANE_DBG_ERROR, "############Injection Failed##############\n");
    }
    return accepted;
}

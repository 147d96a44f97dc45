#pragma once

// The filter's one platform layer. Everything the filter logic needs from the
// system goes through these functions; each platform (and the tests) links
// exactly one implementation. Contract for every implementation:
//
// - Any function may be called from any thread, including while one of the
//   filter's spin locks is held, except OsEventWait, OsMutexAcquire,
//   OsStartSystemThread and OsWaitForSystemThread, which may block and are
//   called only where the filter holds no spin lock.
// - Lock and event objects live in caller memory (like kernel objects); the
//   opaque storage below must be large enough for the platform's object, which
//   each implementation checks at compile time.
// - Nothing here throws.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

struct ZorvanePacket;

// Memory: `size` zeroed bytes usable at any time (non-paged), or null.
void* OsAllocate(size_t size);
void OsFree(void* memory);

// Spin lock: short critical sections; usable where packets are classified.
// The handle lives on the acquirer's stack for the duration of the hold.
struct OsSpinLock {
    alignas(16) unsigned char opaque[64];
};
struct OsLockHandle {
    alignas(16) unsigned char opaque[32];
};
void OsSpinLockInit(OsSpinLock* lock);
void OsSpinLockDestroy(OsSpinLock* lock);
void OsSpinLockAcquire(OsSpinLock* lock, OsLockHandle* handle);
void OsSpinLockRelease(OsLockHandle* handle);

// Mutex: may be held across blocking calls; never taken inside a spin lock.
struct OsMutex {
    alignas(16) unsigned char opaque[64];
};
void OsMutexInit(OsMutex* mutex);
void OsMutexDestroy(OsMutex* mutex);
void OsMutexAcquire(OsMutex* mutex);
void OsMutexRelease(OsMutex* mutex);

// Event of the notification kind: stays set until cleared and releases every
// waiter. Starts clear.
struct OsEvent {
    alignas(16) unsigned char opaque[128];
};
enum E_OsWaitResult { OS_WAIT_SIGNALLED = 0, OS_WAIT_TIMEOUT = 1 };
constexpr int64_t OS_WAIT_FOREVER = -1;
void OsEventInit(OsEvent* event);
void OsEventDestroy(OsEvent* event);
void OsEventSet(OsEvent* event);
void OsEventClear(OsEvent* event);
// `timeout` is relative, in 100 ns units, or OS_WAIT_FOREVER.
E_OsWaitResult OsEventWait(OsEvent* event, int64_t timeout);

// Tick clock counting from system start; one tick lasts OsTickIncrement()
// units of 100 ns.
uint64_t OsTickCount();
uint32_t OsTickIncrement();

// Work item: runs `routine(context)` once, later, on a system worker thread
// where it may block. False when it could not be queued (routine never runs).
bool OsQueueWorkItem(void (*routine)(void* context), void* context);

// System thread: runs `routine(context)` until it returns. Null on failure.
struct OsThread;
OsThread* OsStartSystemThread(void (*routine)(void* context), void* context);
// Waits until the thread's routine returned and releases the thread.
void OsWaitForSystemThread(OsThread* thread);

// Diagnostics output of one message (printf format, the message brings its own
// line ends). `level` is a ZORVANE_DBG_ level.
void OsDebugPrint(int level, const char* format, va_list args);

// Packet operations on the platform parts of a packet object (the platform
// fills them when it makes the packet; see Packet.h).
//
// Contiguous IP or TCP header of the packet's current buffer, or null.
uint8_t* OsPacketIpHeader(ZorvanePacket* packet);
uint8_t* OsPacketTcpHeader(ZorvanePacket* packet);
// Clones the packet's data into packet->clone; the second variant makes the
// clone's data cover the IP header as well. False on failure.
bool OsPacketClone(ZorvanePacket* packet);
bool OsPacketCloneWithIpHeader(ZorvanePacket* packet);
// The first `length` bytes of TCP payload into `buffer`; zeros where the
// payload is shorter. False when the packet has no readable TCP segment.
bool OsPacketCopyTcpPayload(ZorvanePacket* packet, void* buffer, uint32_t length);
// Injects the clone (or newList when newPacket is set) as a received packet
// on its interface, or as a transport send on its endpoint. True when
// accepted: the platform then frees the packet with ZorvaneFreePacket when
// the injection completes. False leaves the packet to the caller.
bool OsPacketInjectReceive(ZorvanePacket* packet);
bool OsPacketInjectSend(ZorvanePacket* packet);
// Releases the platform parts: the data reference, clone, new list, control
// data copy, and completes a held operation. The packet block stays.
void OsPacketRelease(ZorvanePacket* packet);

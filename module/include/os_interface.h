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
struct ZorvaneClassifyInput;
struct ZorvaneTaggedBuffer;

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
// Strict payload reads of the current buffer (packet->current, set by the
// walk below; the classified data while none is current): copies at most
// `length` bytes from `offset` of the TCP payload and returns how many were
// there, never reading past the segment. The payload length is 0 without a
// readable TCP segment.
uint32_t OsPacketReadTcpPayload(ZorvanePacket* packet, uint32_t offset, void* buffer,
                                uint32_t length);
uint32_t OsPacketTcpPayloadLength(ZorvanePacket* packet);
// Walk over the clone's buffers: the first (or the next) becomes
// packet->current; false when there is none (current is then null).
bool OsPacketFirstCloneBuffer(ZorvanePacket* packet);
bool OsPacketNextCloneBuffer(ZorvanePacket* packet);
// The current clone buffer as one writable run from its IP header, with its
// length; null when it cannot be had contiguously.
uint8_t* OsPacketCurrentData(ZorvanePacket* packet, uint32_t* length);
// Shortens the current clone buffer to `length` bytes (what is injected);
// false when it holds fewer.
bool OsPacketSetCurrentLength(ZorvanePacket* packet, uint32_t length);
// True when the packet is one this filter injected (now or before).
bool OsPacketInjectedBySelf(ZorvanePacket* packet);
// Injects the clone (or newList when newPacket is set) as a received packet
// on its interface, or as a transport send on its endpoint. True when
// accepted: the platform then frees the packet with ZorvaneFreePacket when
// the injection completes. False leaves the packet to the caller.
bool OsPacketInjectReceive(ZorvanePacket* packet);
bool OsPacketInjectSend(ZorvanePacket* packet);
// Releases the platform parts: the data reference, clone, new list, control
// data copy, and completes a held operation. The packet block stays.
void OsPacketRelease(ZorvanePacket* packet);

// The user of a process: open the process's token by process id, ask its
// user's SID as text, close it. The token lives in caller memory.
struct OsProcessToken {
    alignas(16) unsigned char opaque[32];
};
enum E_OsProcessOpen {
    OS_PROCESS_OPENED = 0,
    OS_PROCESS_PARAMETER_MIX = 1,  // the process could not be opened:
    OS_PROCESS_INVALID_ID = 2,     // no such process
    OS_PROCESS_INVALID_PARAMETER = 3,
    OS_PROCESS_ACCESS_DENIED = 4,
    OS_PROCESS_OPEN_FAILED = 5,  // any other reason
    OS_PROCESS_NO_TOKEN = 6,     // opened, but its token could not be
};
E_OsProcessOpen OsOpenProcessToken(uint64_t pid, OsProcessToken* token);
enum E_OsTokenUser {
    OS_TOKEN_USER_OK = 0,
    OS_TOKEN_USER_TOO_SMALL = 1,  // *length is now the size needed
    OS_TOKEN_USER_FAILED = 2,
};
// The SID text ("S-1-...") with its NUL into `sid` of *length bytes; `sid`
// may be null with *length 0 to learn the size.
E_OsTokenUser OsQueryTokenUser(OsProcessToken* token, char* sid, uint32_t* length);
// Only for a token OsOpenProcessToken opened.
void OsCloseProcessToken(OsProcessToken* token);

// Holding a connection while its process is looked up: pend with the
// classify's completion handle (false when the platform refuses), later
// complete with the context pend gave, once.
bool OsPendOperation(void* completionHandle, void** completionContext);
void OsCompleteOperation(void* completionContext);

// Injects a tagged copy into the connection's outgoing stream in place of the
// indicated bytes. On OS_STREAM_INJECTED the platform owns `tagged` and frees
// it with ZorvaneFreeTaggedBuffer when the injection completes; otherwise it
// stays the caller's.
enum E_OsStreamInject {
    OS_STREAM_INJECTED = 0,
    OS_STREAM_NO_LIST = 1,  // no buffer list could be made over it
    OS_STREAM_INJECT_FAILED = 2,
};
E_OsStreamInject OsStreamInject(const ZorvaneClassifyInput* input, ZorvaneTaggedBuffer* tagged);

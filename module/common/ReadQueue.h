#pragma once

// The read channel: records queued for the service and handed out one per
// read. Queueing is allowed wherever packets are classified, also under the
// maps' and lists' spin locks.

#include <cstdint>

// One queued record; the payload is a private NUL-terminated copy that lives
// in the same pool allocation.
struct DriverReadRecord {
    char* data;
    uint32_t cmd;
    uint32_t length;  // payload bytes, not counting the NUL
    uint32_t value;
    DriverReadRecord* next;
};

// A read waits this long (100 ns units) for a record before it reports
// ZORVANE_READ_CHECK_EXIT_CMD.
constexpr int64_t ZORVANE_READ_TIMEOUT = 200000000;
// Records beyond this many are dropped until the service reads again.
constexpr uint32_t ZORVANE_READ_QUEUE_LIMIT = 1024;

void ZorvaneInitReadQueue();
// Empties the queue and makes every read, waiting or later, return at once.
void ZorvaneUnloadReadQueue();
// Releases the queue's lock and event; no read or queueing may follow.
void ZorvaneReadQueueCleanup();

// A record with a copy of `length` payload bytes and a NUL after them, or null.
DriverReadRecord* ZorvaneMakeReadRecord(uint32_t cmd, uint32_t value, const void* data,
                                        uint32_t length);
// Appends a record made by ZorvaneMakeReadRecord and wakes the reader; the
// queue owns it from here (it is freed when unloading or full).
void ZorvaneQueueReadRecord(DriverReadRecord* record);
// Queues a blocked-site notice (cmd 3, a host text of `length` bytes) or a
// redirect-process notice (cmd 7, data is the u32 process id).
void SendNotification(uint32_t cmd, int32_t length, const void* data, uint32_t value);

// One read of `length` bytes into `buffer`: waits for a record up to the
// time-out, then writes cmd, value and as much of the payload as fits (a cut
// text keeps a NUL at the end). Returns the bytes written. A buffer shorter
// than the record head gets nothing and leaves the queue alone.
uint32_t ZorvaneReadStep(void* buffer, uint32_t length);

uint32_t ZorvaneReadQueueLength();

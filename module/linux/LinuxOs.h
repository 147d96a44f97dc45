#pragma once

// Controls of the Linux os_interface that only the host uses.

#include <cstdint>
#include <cstdio>

struct ZorvanePacket;

namespace LinuxOs {

// Diagnostics go to the file at `path` (appended) or, without one, to
// standard error. False when the file cannot be opened.
bool openLog(const char* path);
void closeLog();

// The work-item thread. Items queued before start or after stop are refused;
// stop runs what is still queued, then ends the thread.
bool startWorkItems();
void stopWorkItems();

// The packet path's part of injection and release; without hooks an injection
// is refused and a release frees only the packet's buffers.
struct PacketHooks {
    bool (*inject)(ZorvanePacket* packet, bool receive);  // true: accepted
    void (*release)(ZorvanePacket* packet);               // before buffers go
};
void setPacketHooks(const PacketHooks& hooks);

// A connection the host holds: the classify's completion handle points to
// one; completing the hold calls `complete` once.
struct Completion {
    void (*complete)(void* argument);
    void* argument;
};

// Where a stream classify's tagged copy goes: the classify input's
// platformContext points to one. `write` sends all bytes or returns false.
struct StreamSink {
    bool (*write)(void* argument, const uint8_t* data, uint32_t length);
    void* argument;
};

// The process's user as "S-1-22-1-<uid>" from the real uid of the Uid line
// of `statusText` (a /proc/<pid>/status); false when there is none.
bool sidFromStatus(const char* statusText, char* sid, size_t size);

}  // namespace LinuxOs

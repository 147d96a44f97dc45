#pragma once

// Controls of the Linux os_interface that only the host uses.

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

}  // namespace LinuxOs

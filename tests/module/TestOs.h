#pragma once

// Controls of the tests' os_interface: a clock that moves only when told,
// event time-outs shortened in real time, allocation failures on demand,
// captured diagnostics, work items run on request, recorded injections.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "os_interface.h"

struct ZorvanePacket;

namespace TestOs {

// 15.625 ms, so one second is 64 ticks.
constexpr uint32_t kTickIncrement = 156250;

// Back to defaults: clock 0, no failures, empty log and records.
void reset();

void setSeconds(uint64_t seconds);
void setMinutes(uint64_t minutes);

// A wait with a time-out returns after at most this long in real time.
void setWaitCap(std::chrono::milliseconds cap);
// The last time-out (100 ns units) a wait asked for.
int64_t lastWaitTimeout();

// The next `count` allocations succeed, later ones fail; -1 never fails.
void failAllocationsAfter(int count);
// OsAllocate results not yet freed.
long outstandingAllocations();

std::string log();
void clearLog();
bool logged(const std::string& text);

// Runs queued work items; returns how many ran.
int runWorkItems();

// Injection: called before each injection (may block), then the packet is
// recorded by its TCP source port and, when accepted, freed at once.
void setBeforeInject(std::function<void()> hook);
void setInjectAccepted(bool accepted);
struct Injection {
    bool receive;  // else a transport send
    uint16_t sourcePort;
    uint32_t sequence;           // TCP sequence number of what was injected
    std::vector<uint8_t> bytes;  // the injected clone, from its IP header
};
std::vector<Injection> injections();
// Packets whose platform parts were released (every freed packet).
std::vector<uint16_t> releasedPorts();

// A packet of the given layer over a TCP/IPv4 segment from `sourcePort`.
ZorvanePacket* makeTcpPacket(uint32_t layerId, uint16_t sourcePort, uint16_t destinationPort);

// Process users: the SID text of a process; an empty text is a process whose
// token cannot be opened; other processes do not exist.
void setProcessUser(uint64_t pid, const std::string& sid);
// Held operations: whether pend succeeds; completions in order, by handle.
void setPendAccepted(bool accepted);
std::vector<void*> completedOperations();
// Stream injections: the result the next ones get; accepted ones by flow.
void setStreamInjectResult(E_OsStreamInject result);
struct StreamInjection {
    uint64_t flowHandle;
    std::vector<uint8_t> bytes;
};
std::vector<StreamInjection> streamInjections();

}  // namespace TestOs

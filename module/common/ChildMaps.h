#pragma once

// Which child a connection belongs to: the user (SID) map set by the service,
// and the process and local-port maps learned from connections. Each map has
// its own spin lock; under it only the block pools and diagnostics are used.
// Child id 0 means not filtered.

#include <cstdint>

// The process map forgets a process idle this long, checked at most this often.
constexpr uint32_t ZORVANE_PID_PRUNE_MINUTES = 7;  // prune when more passed
constexpr uint32_t ZORVANE_PID_IDLE_MINUTES = 6;   // remove at this idle age
constexpr uint32_t ZORVANE_PORT_PRUNE_SECONDS = 300;
constexpr uint32_t ZORVANE_PORT_IDLE_SECONDS = 240;  // remove beyond this idle age

void ZorvaneInitMaps();
// Frees every entry of the three maps and their locks.
void ZorvaneFreeMaps();
void ZorvaneInitWinUserMap();
void ZorvaneFreeWinUserMap();
void ZorvaneInitPidChildMap();
void ZorvaneFreePidChildMap();
void ZorvaneInitPortChildMap();
void ZorvaneFreePortChildMap();

// SID map: exact, case-sensitive SID texts, newest first.
// 1 when stored; 0 for a missing or empty SID or no memory.
int AddToWinUserMap(const char* sid, uint32_t length, uint32_t childId);
// Child of the SID, 0 when absent; *found is 1 when present (found may be null).
uint32_t GetChildIdForSid(const char* sid, int* found = nullptr);
void CleanupWinUserMap();

// Process map, in descending process id; a lookup refreshes the entry.
int AddToPidChildMap(uint64_t pid, uint32_t childId);
uint32_t GetChildIdForPid(uint64_t pid, int* found = nullptr);
void CleanupPidChildMap();

// Port map, in descending local port; adding a port again overwrites it.
int AddToPortChildMap(uint16_t port, uint32_t childId, uint64_t flowHandle);
// Refreshes the entry; 0 for port 0 or an absent port.
uint32_t GetChildIdForPort(uint16_t port);
// Child of the first entry with that flow handle, without refreshing it; 0
// for handle 0 or none.
uint32_t GetChildIdForFlow(uint64_t flowHandle);
void CleanupPortChildMap();

// The keys in map order, at most `max` of them; returns how many the map holds.
uint32_t ZorvaneListPidMap(uint64_t* pids, uint32_t max);
uint32_t ZorvaneListPortMap(uint16_t* ports, uint32_t max);
uint32_t ZorvaneSidMapSize();
// Calls `visit` for each SID map entry in map order, with the map's lock held:
// `visit` must not block or call back into the maps.
void ZorvaneVisitSidMap(void (*visit)(void* argument, const char* sid, uint32_t childId),
                        void* argument);

#pragma once

// The service's answer about one host, as HTTPS inspection keeps it.

#include <cstdint>

enum E_ZorvaneHostStatus : uint32_t {
    ZORVANE_HOST_ALLOWED = 0,
    ZORVANE_HOST_BLOCKED = 1,
    ZORVANE_HOST_PENDING = 2,  // the question is with the service
    ZORVANE_HOST_BLOCKED_NOCACHE = 3,
    ZORVANE_HOST_ALLOWED_NOCACHE = 4,
};

// The service's host filter status (allowed 0, blocked 1, allowed not cached
// 2, blocked not cached 3) as a host status; anything unknown blocks.
uint32_t ZorvaneHostStatusFromService(int32_t status);

// Records the verdict for (childId, host) and releases what waited for it;
// returns the release's result, or 0 when no host entry was updated.
int32_t ZorvaneApplyHostVerdict(uint32_t childId, const char* host, uint32_t status);

#pragma once

// The configuration the service gives the filter through control codes, and
// the access lock those codes pass. All of it starts at zero.

#include <cstdint>

#include "os_interface.h"
#include "zorvane_ioctl.h"

struct FilterConfig {
    uint32_t currentChildId;
    uint32_t deviceId;
    uint32_t keySet;
    uint8_t key[16];
    uint32_t filterEnabled;  // 0 or 1
    uint32_t httpsOptions;
    uint32_t serverAddress;  // first octet in the most significant byte
    uint32_t altServerAddress;
    uint32_t serverSet;
    uint16_t serverPort;
    uint16_t altServerPort;
    uint16_t unblockedPortCount;
    uint32_t exceptionIp;
    uint16_t unblockedPorts[ZORVANE_MAX_UNBLOCKED_PORTS];  // in order of arrival
    uint32_t redirectPid;
    uint32_t windowsVersion;
};

enum E_AuthState : uint8_t {
    AUTH_STATE_CLOSED = 0,
    AUTH_STATE_CHALLENGED = 1,
    AUTH_STATE_ANSWERED_WRONGLY = 2,
    AUTH_STATE_OPEN = 3,
};

// What the control codes change, guarded by one leaf spin lock so that
// classify paths can read it anywhere.
struct ZorvaneControlState {
    uint8_t authState;  // E_AuthState
    uint32_t challenge;
    FilterConfig config;
};

void ZorvaneInitConfig();
void ZorvaneConfigCleanup();

// A consistent copy of the configuration, for classify paths.
void ZorvaneGetConfig(FilterConfig* config);
uint8_t ZorvaneGetAuthState();

// For the control-code handlers: the state with its lock taken. Nothing but
// the diagnostics may be called until ZorvaneUnlockControlState.
ZorvaneControlState* ZorvaneLockControlState(OsLockHandle* handle);
void ZorvaneUnlockControlState(OsLockHandle* handle);

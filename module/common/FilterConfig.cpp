#include "FilterConfig.h"

#include <cstring>

namespace {

// Guards gControl. Leaf lock: nothing else is taken while it is held.
OsSpinLock gControlLock;
ZorvaneControlState gControl;

}  // namespace

void ZorvaneInitConfig() {
    OsSpinLockInit(&gControlLock);
    memset(&gControl, 0, sizeof(gControl));
}

void ZorvaneConfigCleanup() {
    OsSpinLockDestroy(&gControlLock);
}

void ZorvaneGetConfig(FilterConfig* config) {
    OsLockHandle handle;
    OsSpinLockAcquire(&gControlLock, &handle);
    *config = gControl.config;
    OsSpinLockRelease(&handle);
}

uint8_t ZorvaneGetAuthState() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gControlLock, &handle);
    const uint8_t state = gControl.authState;
    OsSpinLockRelease(&handle);
    return state;
}

ZorvaneControlState* ZorvaneLockControlState(OsLockHandle* handle) {
    OsSpinLockAcquire(&gControlLock, handle);
    return &gControl;
}

void ZorvaneUnlockControlState(OsLockHandle* handle) {
    OsSpinLockRelease(handle);
}

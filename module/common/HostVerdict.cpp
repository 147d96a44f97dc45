#include "HostVerdict.h"

#include "ZorvaneLog.h"

uint32_t ZorvaneHostStatusFromService(int32_t status) {
    switch (status) {
        case 0:
            return ZORVANE_HOST_ALLOWED;
        case 1:
            return ZORVANE_HOST_BLOCKED;
        case 2:
            return ZORVANE_HOST_ALLOWED_NOCACHE;
        default:
            return ZORVANE_HOST_BLOCKED_NOCACHE;
    }
}

// No host list is kept yet, so no entry is ever updated.
int32_t ZorvaneApplyHostVerdict(uint32_t childId, const char* host, uint32_t status) {
    ZorvLog(ZORVANE_DBG_TRACE, "UpdateHostStatus %s %d %d\n", host, static_cast<int>(childId),
            static_cast<int>(status));
    return 0;
}

#include "HostVerdict.h"

#include "Https.h"

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

int32_t ZorvaneApplyHostVerdict(uint32_t childId, const char* host, uint32_t status) {
    if (UpdateHostStatus(childId, host, status) == 0) {
        return 0;
    }
    return ProcessHttpsPendedPackets();
}

#include "ChildMaps.h"

void ZorvaneInitMaps() {
    ZorvaneInitPortChildMap();
    ZorvaneInitPidChildMap();
    ZorvaneInitWinUserMap();
}

void ZorvaneFreeMaps() {
    ZorvaneFreeWinUserMap();
    ZorvaneFreePidChildMap();
    ZorvaneFreePortChildMap();
}

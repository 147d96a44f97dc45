#include "Filter.h"

#include "BlockPool.h"
#include "ChildMaps.h"
#include "Classify.h"
#include "FilterConfig.h"
#include "Injection.h"
#include "ReadQueue.h"
#include "ZorvaneLog.h"

int ZorvaneFilterStart() {
    ZorvaneInitReadQueue();
    ZorvaneInitConfig();
    if (ZorvaneStartInjectionWorker() == 0) {
        ZorvaneInjectionCleanup();
        ZorvaneConfigCleanup();
        ZorvaneReadQueueCleanup();
        return 0;
    }
    if (ZorvaneInitPools() == 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "block pools not set up\n");
        ZorvaneStopInjectionWorker();
        ZorvaneInjectionCleanup();
        ZorvaneConfigCleanup();
        ZorvaneReadQueueCleanup();
        return 0;
    }
    ZorvaneInitMaps();
    if (ZorvaneStartLookups() == 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "process lookups not set up\n");
        ZorvaneStopInjectionWorker();
        ZorvaneFreeMaps();
        ZorvaneFreePools();
        ZorvaneInjectionCleanup();
        ZorvaneConfigCleanup();
        ZorvaneReadQueueCleanup();
        return 0;
    }
    return 1;
}

void ZorvaneFilterUnload() {
    ZorvaneStopLookups();
    ZorvaneStopInjectionWorker();
    ZorvaneUnloadReadQueue();
    ZorvaneFreeMaps();
    ZorvaneFreePools();
    ZorvaneInjectionCleanup();
    ZorvaneConfigCleanup();
    ZorvaneReadQueueCleanup();
}

#include "Filter.h"

#include "BlockPool.h"
#include "ChildMaps.h"
#include "Classify.h"
#include "FilterConfig.h"
#include "Https.h"
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
    ZorvaneInitHttps();
    if (ZorvaneStartLookups() == 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "process lookups not set up\n");
        ZorvaneStopInjectionWorker();
        ZorvaneFreeHttps();
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
    // Held packets go before the worker stops; what it still has queued it drops.
    ZorvaneFreeHttps();
    ZorvaneStopInjectionWorker();
    ZorvaneUnloadReadQueue();
    ZorvaneFreeMaps();
    ZorvaneFreePools();
    ZorvaneInjectionCleanup();
    ZorvaneConfigCleanup();
    ZorvaneReadQueueCleanup();
}

#include "Filter.h"

#include "BlockPool.h"
#include "ChildMaps.h"
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
    return 1;
}

void ZorvaneFilterUnload() {
    ZorvaneStopInjectionWorker();
    ZorvaneUnloadReadQueue();
    ZorvaneFreeMaps();
    ZorvaneFreePools();
    ZorvaneInjectionCleanup();
    ZorvaneConfigCleanup();
    ZorvaneReadQueueCleanup();
}

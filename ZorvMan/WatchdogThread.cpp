#include "WatchdogThread.h"

#include "Watchdog.h"
#include "base/Logger.h"
#include "port/ServicePaths.h"

namespace WatchdogThread {

void run(Watchdog& watchdog, uint32_t periodMs, void (*started)()) {
    // The filtering service's temp folder, made and checked as it makes it.
    String tempDir = ServicePathsBuilder::build().tempDir;
    String logPath = tempDir.empty() ? String() : String(tempDir + "zorv_man.log");
    // No level file: every message is written.
    Logger* log = Logger::instance(logPath, String());
    log->out(LOGLEVEL_INFO, "logPath %s\n", logPath.c_str());
    if (started) {
        started();
    }
    watchdog.watch(periodMs);
}

}  // namespace WatchdogThread

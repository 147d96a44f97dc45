#include "Watchdog.h"

#include <chrono>
#include <utility>

#include "ServiceManager.h"
#include "ServiceStartup.h"
#include "base/Logger.h"
#include "port/InstallInfo.h"

Watchdog::Watchdog(Connect connect) : mConnect(connect) {}

String Watchdog::getInstallPath() {
    String path = InstallInfo::readInstallPath();
    if (path.empty()) {
        path = InstallInfo::defaultInstallPath();
    }
    Logger::instance()->out(LOGLEVEL_INFO, "getInstallPath() %s\n", path.c_str());
    return path;
}

int Watchdog::reinstallService(String path) {
    return ServiceManager(ServiceName, std::move(path)).reinstallService();
}

int Watchdog::manageFilterService() {
    Logger* log = Logger::instance();
    int error = 0;
    std::unique_ptr<ServiceControl> control = mConnect(error);
    if (!control) {
        ++mErrorCount;
        if (mErrorCount > kErrorLimit) {
            log->out(LOGLEVEL_ERROR, "error count exceeded in OpenSCManager %d\n", error);
            log->out(LOGLEVEL_ERROR, "STOPPING Zorvane Manager\n");
            return 0;
        }
        log->out(LOGLEVEL_ERROR, "error in OpenSCManager %d\n", error);
        return 1;
    }
    ServiceManager manager(ServiceName, [] {
        String path = InstallInfo::serviceProgramPath(getInstallPath());
        Logger::instance()->out(LOGLEVEL_INFO, "zorvane service path %s\n", path.c_str());
        return path;
    });
    return manager.manage(*control);
}

void Watchdog::watch(uint32_t periodMs) {
    do {
        waitForNextStep(periodMs);
    } while (manageFilterService());
    Logger::instance()->out(LOGLEVEL_ERROR, "Exiting with error\n");
}

bool Watchdog::setPaused(bool pause) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mPaused == pause) {
            return false;
        }
        mPaused = pause;
    }
    mPauseChanged.notify_all();
    return true;
}

void Watchdog::waitForNextStep(uint32_t periodMs) {
    std::unique_lock<std::mutex> lock(mLock);
    // A pause does not cut the wait short; it only holds the next step.
    mPauseChanged.wait_for(lock, std::chrono::milliseconds(periodMs), [] { return false; });
    mPauseChanged.wait(lock, [this] { return !mPaused; });
}

#include "driver/DriverSetup.h"

#include <memory>

#include "cloud/ConnectionInfo.h"
#include "system/Device.h"
#include "driver/Driver.h"
#include "base/Logger.h"
#include "settings/Settings.h"

namespace DriverSetup {

std::mutex& signInLock() {
    static std::mutex lock;
    return lock;
}

int initializeDriver(Style style) {
    Logger* log = Logger::instance();
    const bool verbose = style == Style::Service;
    if (verbose) {
        log->out(LOGLEVEL_INFO, "Service::initializeDriver()\n");
    }
    Settings* settings = Settings::instance();
    Driver* driver = Driver::instance();
    if (!settings || !driver) {
        return 0;
    }
    Device* device = settings->getDeviceInfo();
    std::shared_ptr<ConnectionInfo> connection = settings->getConnectionInfo();
    const unsigned long pid = settings->getCurrentPid();
    if (pid != 0) {
        driver->setRedirectPid(static_cast<uint32_t>(pid));
    }
    if (verbose) {
        const int version = settings->getWindowsVersion();
        if (version != 0) {
            driver->setWindowsVersion(version);
        }
    }

    if (device && connection && settings->IsFilterEnabled()) {
        if (verbose) {
            log->out(LOGLEVEL_INFO, "Service::initializeDriver() filter enabled\n");
        }
        const char* failure = nullptr;
        if (!driver->setFilterAddress(
                connection->getFilterServerAddress(), connection->getAlternateFilterServerAddress(),
                connection->getFilterServerPort(), connection->getAlternateFilterServerPort())) {
            failure = "Service::initializeDriver() driver->setFilterAddress failed\n";
        } else if (!driver->setSysZorvUserMap(settings->getSysZorvUserMap())) {
            failure = "Service::initializeDriver() driver->setSysZorvUserMap failed\n";
        } else if (!driver->setFilterDevice(device->getDeviceId())) {
            failure = "Service::initializeDriver() driver->setFilterDevice failed\n";
        } else if (!driver->setCurrentChildUser(settings->getCurrentChildId())) {
            failure = "Service::initializeDriver() driver->setCurrentChildUser failed\n";
        }
        if (failure && verbose) {
            log->out(LOGLEVEL_ERROR, "%s", failure);
        }
        return failure ? 0 : 1;
    }
    if (!settings->IsFilterEnabled()) {
        log->out(LOGLEVEL_INFO, "Service::initializeDriver() disabling filter\n");
        if (driver->disableFilter()) {
            return 1;
        }
        log->out(LOGLEVEL_ERROR, "Service::initializeDriver() driver->disableFilter() failed\n");
        return 0;
    }
    return 0;
}

}  // namespace DriverSetup

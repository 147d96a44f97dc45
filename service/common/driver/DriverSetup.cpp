#include "driver/DriverSetup.h"

#include <algorithm>
#include <memory>

#include "cloud/ConnectionInfo.h"
#include "system/Device.h"
#include "driver/Driver.h"
#include "base/Logger.h"
#include "settings/Settings.h"

namespace DriverSetup {

namespace {

int configure(Settings* settings, Driver* driver, Style style) {
    Logger* log = Logger::instance();
    const bool verbose = style == Style::Service;
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
        const SysZorvUserMap map = settings->getSysZorvUserMap();
        const char* failure = nullptr;
        if (!driver->setFilterAddress(
                connection->getFilterServerAddress(), connection->getAlternateFilterServerAddress(),
                connection->getFilterServerPort(), connection->getAlternateFilterServerPort())) {
            failure = "Service::initializeDriver() driver->setFilterAddress failed\n";
        } else if (!sendUserMap(*driver, map)) {
            failure = "Service::initializeDriver() driver->setSysZorvUserMap failed\n";
        } else if (!driver->setFilterDevice(device->getDeviceId())) {
            failure = "Service::initializeDriver() driver->setFilterDevice failed\n";
        } else if (!driver->setCurrentChildUser(settings->getCurrentChildId())) {
            failure = "Service::initializeDriver() driver->setCurrentChildUser failed\n";
        } else if (!sendFilterState(*driver, map)) {
            failure = "Service::initializeDriver() driver->setFilterStatus failed\n";
        }
        if (failure && verbose) {
            log->out(LOGLEVEL_ERROR, "%s", failure);
        }
        return failure ? 0 : 1;
    }
    if (!settings->IsFilterEnabled()) {
        log->out(LOGLEVEL_INFO, "Service::initializeDriver() disabling filter\n");
        if (driver->disableFilter() && driver->setFilterStatus(0)) {
            return 1;
        }
        log->out(LOGLEVEL_ERROR, "Service::initializeDriver() driver->disableFilter() failed\n");
        return 0;
    }
    return 0;
}

}  // namespace

std::recursive_mutex& configurationLock() {
    static std::recursive_mutex lock;
    return lock;
}

int sendUserMap(Driver& driver, const SysZorvUserMap& map) {
    return map.empty() ? driver.disableFilter() : driver.setSysZorvUserMap(map);
}

int sendFilterState(Driver& driver, const SysZorvUserMap& map) {
    const bool filtersSomebody = std::any_of(
        map.begin(), map.end(), [](const auto& entry) { return entry.second != 0; });
    return driver.setFilterStatus(filtersSomebody ? 1 : 0);
}

int initializeDriver(Style style) {
    if (style == Style::Service) {
        Logger::instance()->out(LOGLEVEL_INFO, "Service::initializeDriver()\n");
    }
    Settings* settings = Settings::instance();
    Driver* driver = Driver::instance();
    if (!settings || !driver) {
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(configurationLock());
    return configure(settings, driver, style);
}

int configureOpenedDevice(Driver& driver) {
    Settings* settings = Settings::instance();
    if (!settings) {
        return 0;
    }
    Logger::instance()->out(LOGLEVEL_INFO, "filter control device opened - sending the whole configuration\n");
    std::lock_guard<std::recursive_mutex> lock(configurationLock());
    return configure(settings, &driver, Style::Service);
}

}  // namespace DriverSetup

#include "ServiceManager.h"

#include <cstdlib>
#include <utility>

#include "base/Logger.h"
#include "port/ServiceControl.h"

ServiceManager::ServiceManager(String name, String path)
    : serviceName(std::move(name)), servicePath([path] { return path; }) {}

ServiceManager::ServiceManager(String name, ProgramPath programPath)
    : serviceName(std::move(name)), servicePath(std::move(programPath)) {}

int ServiceManager::manage() {
    int error = 0;
    std::unique_ptr<ServiceControl> control = ServiceControl::connect(error);
    if (!control) {
        Logger::instance()->out(LOGLEVEL_ERROR, "error in OpenSCManager %d\n", error);
        return 1;
    }
    return manage(*control);
}

int ServiceManager::manage(ServiceControl& control) {
    Logger* log = Logger::instance();
    int error = 0;
    if (!control.openService(serviceName, error)) {
        log->out(LOGLEVEL_ERROR, "error in OpenService %d\n", error);
        reinstallService();
        return 1;
    }
    ServiceStatusInfo status;
    if (!control.queryStatus(status, error)) {
        log->out(LOGLEVEL_ERROR, "error in QueryServiceStatus %d\n", error);
        return 1;
    }
    if (status.state == SERVICE_STATE_START_PENDING || status.state == SERVICE_STATE_RUNNING) {
        log->out(LOGLEVEL_ERROR, "service is RUNNING\n");
        return 1;
    }
    log->out(LOGLEVEL_ERROR, "service has stopped with error %d %d\n", status.win32ExitCode,
             status.serviceSpecificExitCode);
    log->out(LOGLEVEL_WARN, "Trying to start the service\n");
    if (!control.startService(error)) {
        log->out(LOGLEVEL_ERROR, "service start failed err %d", error);
    }
    return 1;
}

int ServiceManager::reinstallService() {
    Logger* log = Logger::instance();
    String path = servicePath();
    if (path.empty()) {
        log->out(LOGLEVEL_ERROR, "reinstallService path is empty\n");
        return 0;
    }
    for (const char* argument : {"-u", "-i"}) {
        String command = commandLineFor(path, argument);
        log->out(LOGLEVEL_INFO, "command %s\n", command.c_str());
        // The program's own output and result are its business; the next
        // check finds out whether the service came back.
        int ignored = std::system(command.c_str());
        (void)ignored;
    }
    return 1;
}

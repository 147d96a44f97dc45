// The filtering service program on Linux: console installer (-i, -u) of a
// systemd unit, and the foreground daemon that a service manager runs.
#include <cstdio>

#include "LinuxDevice.h"
#include "LinuxDriver.h"
#include "LinuxHttpsHandler.h"
#include "LinuxNotifier.h"
#include "LinuxServiceEntry.h"
#include "LinuxSocketServer.h"
#include "LinuxThreadHandler.h"
#include "LinuxUI.h"
#include "Service.h"
#include "ServiceControls.h"
#include "ServiceStartup.h"
#include "StepOption.h"
#include "base/Logger.h"

namespace {

// The time between two check passes; set before any thread exists.
uint32_t passSleepMs = Service::kPassSleepMs;

void createPlatformSingletons() {
    LinuxThreadHandler::instance();
    LinuxDriver::instance();
    LinuxUI::instance();
    LinuxHttpsHandler::instance();
    LinuxDevice::instance();
    Logger::instance()->out(LOGLEVEL_INFO, "before WinNotifier::instance()\n");
    LinuxNotifier::instance();
    Logger::instance()->out(LOGLEVEL_INFO, "after WinNotifier::instance()\n");
}

void serviceReady(Service* service) {
    service->setPassSleepMs(passSleepMs);
    ServiceControls::serviceReady(service);
    markServiceStarted();
}

void serviceThread() {
    ServiceStartup::runServiceThread(createPlatformSingletons, serviceReady);
    // The check loop ended on its own: nothing is left to serve. A failure,
    // so the service manager starts the service again.
    Logger::instance()->out(LOGLEVEL_ERROR, "service thread ended\n");
    endServiceProcess(1);
}

// The sockets the service serves go with the process, so no client takes a
// stale one for a service.
void removeSockets() {
    LinuxSocketServer::removeSocketFiles();
}

}  // namespace

int main(int argc, char** argv) {
    if (StepOption::take(argc, argv, passSleepMs) == StepOption::STEP_OPTION_BAD) {
        std::fprintf(stderr,
                     "--step-ms takes the milliseconds between two check passes (1 to 3600000)\n");
        return 2;
    }
    static const LinuxServiceProgram program{
        ServiceName,   ServiceDescription,         "zorvane_service",
        serviceThread, ServiceControls::setPaused, removeSockets};
    return runLinuxServiceProgram(argc, argv, program);
}

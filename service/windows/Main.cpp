// The filtering service program: console installer (-i, -u), Windows
// service under the SCM, and the service thread.
#include <cstdio>

#include "Service.h"
#include "ServiceControls.h"
#include "ServiceStartup.h"
#include "StepOption.h"
#include "WinDevice.h"
#include "WinDriver.h"
#include "WinHttpsHandler.h"
#include "WinNotifier.h"
#include "WinServiceEntry.h"
#include "WinThreadHandler.h"
#include "WinUI.h"
#include "base/Logger.h"

namespace {

// The time between two check passes; set before any thread exists.
uint32_t passSleepMs = Service::kPassSleepMs;

void createPlatformSingletons() {
    WinThreadHandler::instance();
    WinDriver::instance();
    WinUI::instance();
    WinHttpsHandler::instance();
    WinDevice::instance();
    Logger::instance()->out(LOGLEVEL_INFO, "before WinNotifier::instance()\n");
    WinNotifier::instance();
    Logger::instance()->out(LOGLEVEL_INFO, "after WinNotifier::instance()\n");
}

void serviceReady(Service* service) {
    service->setPassSleepMs(passSleepMs);
    ServiceControls::serviceReady(service);
}

void serviceThread() {
    ServiceStartup::runServiceThread(createPlatformSingletons, serviceReady);
    // The check loop ended on its own: nothing is left to serve. Ending
    // without reporting the stop is a failure, so the SCM's failure action
    // starts the service again.
    Logger::instance()->out(LOGLEVEL_ERROR, "service thread ended\n");
    endServiceProcess(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (StepOption::take(argc, argv, passSleepMs) == StepOption::STEP_OPTION_BAD) {
        std::printf("--step-ms takes the milliseconds between two check passes (1 to 3600000)\n");
        return 2;
    }
    static const WinServiceProgram program{ServiceName, ServiceDescription, serviceThread,
                                           ServiceControls::setPaused};
    return runWinServiceProgram(argc, argv, program);
}

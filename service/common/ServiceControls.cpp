#include "ServiceControls.h"

#include <mutex>

#include "Service.h"
#include "base/Logger.h"

namespace {

// Guards service and paused: the control thread and the service thread meet
// here.
std::mutex controlLock;
Service* service = nullptr;  // set once the service thread created it
bool paused = false;

}  // namespace

namespace ServiceControls {

void serviceReady(Service* created) {
    std::lock_guard<std::mutex> lock(controlLock);
    service = created;
    if (paused) {
        service->pauseChecks();
    }
}

bool setPaused(bool pause) {
    std::lock_guard<std::mutex> lock(controlLock);
    if (paused == pause) {
        return false;
    }
    paused = pause;
    if (!service) {
        // Before the service thread made the logger, logging here would make
        // one without a file.
        return true;
    }
    if (pause) {
        service->pauseChecks();
    } else {
        service->resumeChecks();
    }
    Logger::instance()->out(LOGLEVEL_INFO, pause ? "service paused\n" : "service continued\n");
    return true;
}

}  // namespace ServiceControls

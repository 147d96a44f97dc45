#include "LinuxHttpsHandler.h"


LinuxHttpsHandler* LinuxHttpsHandler::instance() {
    return PlatformInstance<LinuxHttpsHandler>::get([] { return new LinuxHttpsHandler(); });
}

LinuxHttpsHandler::LinuxHttpsHandler() {
    startThread();
}

LinuxHttpsHandler::~LinuxHttpsHandler() {
    stopThread();  // before the event goes
}

void LinuxHttpsHandler::signalEvent() {
    std::lock_guard<std::mutex> lock(mEventLock);
    mSignalled = true;
    mEventChanged.notify_all();
}

void LinuxHttpsHandler::resetEvent() {
    std::lock_guard<std::mutex> lock(mEventLock);
    mSignalled = false;
}

void LinuxHttpsHandler::waitEvent() {
    std::unique_lock<std::mutex> lock(mEventLock);
    mEventChanged.wait(lock, [this] { return mSignalled; });
}

#include "LinuxHttpsHandler.h"

#include "base/Logger.h"
#include "port/ThreadHandler.h"

namespace {

void* runQueue(void* handler) {
    static_cast<HttpsHandler*>(handler)->processHostQueue();
    return nullptr;
}

}  // namespace

LinuxHttpsHandler* LinuxHttpsHandler::instance() {
    return PlatformInstance<LinuxHttpsHandler>::get([] { return new LinuxHttpsHandler(); });
}

LinuxHttpsHandler::LinuxHttpsHandler() {
    startThread();
}

LinuxHttpsHandler::~LinuxHttpsHandler() {
    std::lock_guard<std::mutex> lock(mThreadLock);
    if (httpsThread && httpsThread->status() == 1) {
        httpsThread->terminate();
    }
}

bool LinuxHttpsHandler::threadRunning() {
    std::lock_guard<std::mutex> lock(mThreadLock);
    return httpsThread && httpsThread->status() == 1;
}

void LinuxHttpsHandler::startThread() {
    std::lock_guard<std::mutex> lock(mThreadLock);
    ThreadHandler* threads = ThreadHandler::instance();
    if (!threads) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxHttpsHandler no thread handler\n");
        return;
    }
    httpsThread = threads->createThread(runQueue, static_cast<HttpsHandler*>(this));
    if (!httpsThread || !httpsThread->create()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxHttpsHandler thread not started\n");
    }
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

#include "WinHttpsHandler.h"

#include "base/Logger.h"
#include "port/ThreadHandler.h"

namespace {

void* runQueue(void* handler) {
    static_cast<HttpsHandler*>(handler)->processHostQueue();
    return nullptr;
}

}  // namespace

WinHttpsHandler* WinHttpsHandler::instance() {
    return PlatformInstance<WinHttpsHandler>::get([] { return new WinHttpsHandler(); });
}

WinHttpsHandler::WinHttpsHandler() {
    hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!hEvent) {
        Logger::instance()->out(LOGLEVEL_ERROR, "WinHttpsHandler CreateEvent failed %d\n",
                                static_cast<int>(GetLastError()));
    }
    startThread();
}

WinHttpsHandler::~WinHttpsHandler() {
    {
        std::lock_guard<std::mutex> lock(mThreadLock);
        if (httpsThread && httpsThread->status() == 1) {
            httpsThread->terminate();
        }
    }
    if (hEvent) {
        CloseHandle(hEvent);
    }
}

bool WinHttpsHandler::threadRunning() {
    std::lock_guard<std::mutex> lock(mThreadLock);
    return httpsThread && httpsThread->status() == 1;
}

void WinHttpsHandler::startThread() {
    std::lock_guard<std::mutex> lock(mThreadLock);
    ThreadHandler* threads = ThreadHandler::instance();
    if (!threads || !hEvent) {
        Logger::instance()->out(LOGLEVEL_ERROR, "WinHttpsHandler thread not started\n");
        return;
    }
    httpsThread = threads->createThread(runQueue, static_cast<HttpsHandler*>(this));
    if (!httpsThread || !httpsThread->create()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "WinHttpsHandler thread not started\n");
    }
}

void WinHttpsHandler::signalEvent() {
    if (hEvent) {
        SetEvent(hEvent);
    }
}

void WinHttpsHandler::resetEvent() {
    if (hEvent) {
        ResetEvent(hEvent);
    }
}

void WinHttpsHandler::waitEvent() {
    if (hEvent) {
        WaitForSingleObject(hEvent, INFINITE);
    }
}

#include "WinHttpsHandler.h"

#include "base/Logger.h"

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
    stopThread();  // before the event goes
    if (hEvent) {
        CloseHandle(hEvent);
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

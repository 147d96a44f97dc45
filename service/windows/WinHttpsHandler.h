#pragma once

#include <windows.h>

#include <memory>
#include <mutex>

#include "https/HttpsHandler.h"
#include "port/Thread.h"

// The host verifier on Windows: a thread of the thread handler and a
// manual-reset event, initially not signalled.
class WinHttpsHandler : public HttpsHandler {
public:
    // Creates the verifier, starts its thread and registers it as the
    // HttpsHandler instance.
    static WinHttpsHandler* instance();

    WinHttpsHandler();
    ~WinHttpsHandler() override;

protected:
    bool eventReady() const override { return hEvent != nullptr; }
    void signalEvent() override;
    void resetEvent() override;
    void waitEvent() override;

private:
    HANDLE hEvent = nullptr;
};

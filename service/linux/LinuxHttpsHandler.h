#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "https/HttpsHandler.h"
#include "port/Thread.h"

// The host verifier on Linux: a thread of the thread handler and a
// manual-reset event made of a flag under a condition variable.
class LinuxHttpsHandler : public HttpsHandler {
public:
    // Creates the verifier, starts its thread and registers it as the
    // HttpsHandler instance.
    static LinuxHttpsHandler* instance();

    LinuxHttpsHandler();
    ~LinuxHttpsHandler() override;

protected:
    void signalEvent() override;
    void resetEvent() override;
    void waitEvent() override;

private:
    std::mutex mEventLock;
    std::condition_variable mEventChanged;
    bool mSignalled = false;
};

#pragma once

#include <memory>

#include "port/Thread.h"

// Factory of the platform's threads. The platform subclass's instance()
// creates the one factory and registers it; everything else calls
// ThreadHandler::instance().
class ThreadHandler {
public:
    static ThreadHandler* instance();

    // A thread that is constructed, not started.
    virtual std::unique_ptr<Thread> createThread(ThreadFunction function, void* parm) = 0;

    virtual ~ThreadHandler() = default;

protected:
    static void registerInstance(ThreadHandler* handler);

private:
    static ThreadHandler* mpSingleton;
};

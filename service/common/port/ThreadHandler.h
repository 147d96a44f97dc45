#pragma once

#include <memory>

#include "base/Registered.h"
#include "port/Thread.h"

// Factory of the platform's threads. The platform subclass's instance()
// creates the one factory and registers it; everything else calls
// ThreadHandler::instance().
class ThreadHandler : public Registered<ThreadHandler> {
public:

    // A thread that is constructed, not started.
    virtual std::unique_ptr<Thread> createThread(ThreadFunction function, void* parm) = 0;

    virtual ~ThreadHandler() = default;

protected:

private:
};

#pragma once

#include "port/ThreadHandler.h"

class LinuxThreadHandler : public ThreadHandler {
public:
    // Creates the factory on the first call and registers it.
    static LinuxThreadHandler* instance();

    std::unique_ptr<Thread> createThread(ThreadFunction function, void* parm) override;
};

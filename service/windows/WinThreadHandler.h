#pragma once

#include "port/ThreadHandler.h"

class WinThreadHandler : public ThreadHandler {
public:
    // Creates the factory on the first call and registers it.
    static WinThreadHandler* instance();

    std::unique_ptr<Thread> createThread(ThreadFunction function, void* parm) override;
};

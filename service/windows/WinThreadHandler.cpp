#include "WinThreadHandler.h"

#include "WinThread.h"

WinThreadHandler* WinThreadHandler::instance() {
    return PlatformInstance<WinThreadHandler>::get([] { return new WinThreadHandler(); });
}

std::unique_ptr<Thread> WinThreadHandler::createThread(ThreadFunction function, void* parm) {
    return std::make_unique<WinThread>(function, parm);
}

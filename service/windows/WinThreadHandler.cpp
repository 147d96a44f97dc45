#include "WinThreadHandler.h"

#include "WinThread.h"

WinThreadHandler* WinThreadHandler::instance() {
    static WinThreadHandler handler;
    static const bool registered = (registerInstance(&handler), true);
    (void)registered;
    return &handler;
}

std::unique_ptr<Thread> WinThreadHandler::createThread(ThreadFunction function, void* parm) {
    return std::make_unique<WinThread>(function, parm);
}

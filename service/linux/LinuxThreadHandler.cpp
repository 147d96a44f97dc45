#include "LinuxThreadHandler.h"

#include "LinuxThread.h"

LinuxThreadHandler* LinuxThreadHandler::instance() {
    static LinuxThreadHandler handler;
    static const bool registered = (registerInstance(&handler), true);
    (void)registered;
    return &handler;
}

std::unique_ptr<Thread> LinuxThreadHandler::createThread(ThreadFunction function, void* parm) {
    return std::make_unique<LinuxThread>(function, parm);
}

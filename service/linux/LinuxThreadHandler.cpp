#include "LinuxThreadHandler.h"

#include "LinuxThread.h"

LinuxThreadHandler* LinuxThreadHandler::instance() {
    return PlatformInstance<LinuxThreadHandler>::get([] { return new LinuxThreadHandler(); });
}

std::unique_ptr<Thread> LinuxThreadHandler::createThread(ThreadFunction function, void* parm) {
    return std::make_unique<LinuxThread>(function, parm);
}

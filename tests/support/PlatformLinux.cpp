#include "LinuxThreadHandler.h"
#include "TestSupport.h"

void registerPlatformSingletons() {
    LinuxThreadHandler::instance();
}

bool runningUnderWine() {
    return false;
}

#include "TestSupport.h"
#include "WinThreadHandler.h"

void registerPlatformSingletons() {
    WinThreadHandler::instance();
}

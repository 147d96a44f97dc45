#include <windows.h>

#include "TestSupport.h"
#include "WinThreadHandler.h"

void registerPlatformSingletons() {
    WinThreadHandler::instance();
}

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

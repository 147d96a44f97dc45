#include <windows.h>

#include "port/InstallInfo.h"
#include "base/Logger.h"

namespace InstallInfo {

String readInstallPath() {
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zorvane", 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS) {
        Logger::instance()->out(LOGLEVEL_ERROR, "RegOpenKeyEx error %d\n",
                                static_cast<int>(result));
        return String();
    }
    constexpr DWORD kMaxBytes = 1000;
    char value[kMaxBytes + 1] = {};  // one more: the stored text may lack its zero
    DWORD size = kMaxBytes;
    result = RegQueryValueExA(key, "Install Path", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                              &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        Logger::instance()->out(LOGLEVEL_ERROR, "RegQueryValueEx error %d\n",
                                static_cast<int>(result));
        return String();
    }
    return String(value);
}

String defaultInstallPath() {
    return String("C:\\Program Files (x86)\\Zorvane");
}

String watchdogProgramPath(const String& installPath) {
    return String(installPath + "\\service files\\zorv_man.exe");
}

String serviceProgramPath(const String& installPath) {
    return String(installPath + "\\service files\\zorvane_service.exe");
}

}  // namespace InstallInfo

#include <cstdlib>

#include "port/InstallInfo.h"

namespace InstallInfo {

namespace {

String withoutTrailingSlash(String folder) {
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

}  // namespace

String readInstallPath() {
    const char* folder = std::getenv("ZORVANE_INSTALL_DIR");
    return withoutTrailingSlash((folder && *folder) ? String(folder) : defaultInstallPath());
}

String defaultInstallPath() {
    return String("/opt/zorvane");
}

String watchdogProgramPath(const String& installPath) {
    return String(withoutTrailingSlash(installPath) + "/bin/zorv_man");
}

String serviceProgramPath(const String& installPath) {
    return String(withoutTrailingSlash(installPath) + "/bin/zorvane_service");
}

}  // namespace InstallInfo

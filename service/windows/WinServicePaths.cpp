#include <windows.h>

#include <vector>

#include "port/ServicePaths.h"

namespace ServicePathsBuilder {

ServicePaths build() {
    ServicePaths paths;
    constexpr UINT kBufferSize = 32767;
    std::vector<char> buffer(kBufferSize);
    UINT length = GetWindowsDirectoryA(buffer.data(), kBufferSize);
    if (length == 0 || length >= kBufferSize) {
        return paths;
    }
    String windows(buffer.data(), static_cast<int>(length));
    int firstBackslash = windows.indexOf("\\");
    String drive = firstBackslash < 0 ? windows : String(windows.substr(0, firstBackslash));

    paths.programDataDir = drive + "\\ProgramData\\Zorvane\\";
    paths.tempDir = windows + "\\Temp\\Zorvane\\";
    // One level only: ProgramData and Temp belong to the system.
    CreateDirectoryA(paths.programDataDir.c_str(), nullptr);
    CreateDirectoryA(paths.tempDir.c_str(), nullptr);

    paths.settingsPath = paths.programDataDir + "zorvane.cred";
    paths.hostCachePath = paths.programDataDir + "https_cache";
    paths.logLevelPath = paths.programDataDir + "zorvane_log_level";
    paths.logPath = paths.tempDir + "zorvane_service.log";
    paths.updateInstallerPath = paths.tempDir;
    return paths;
}

}  // namespace ServicePathsBuilder

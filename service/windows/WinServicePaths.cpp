#include <windows.h>

#include <cstdio>
#include <vector>

#include "port/FileSystem.h"
#include "port/ServicePaths.h"

namespace {

// The folder when it could be made the service's, else empty.
String ownFolder(const String& folder, ServicePaths& paths) {
    FileSystem::FolderResult result = FileSystem::makeServiceFolder(folder);
    if (!result.note.empty()) {
        // Said here too: without its folder there may be no log to say it in.
        std::printf("%s\n", result.note.c_str());
        std::fflush(stdout);
        paths.folderNotes.push_back(result.note);
    }
    return result.usable ? folder : String();
}

}  // namespace

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

    // One level only: ProgramData and Temp belong to the system.
    paths.programDataDir = ownFolder(drive + "\\ProgramData\\Zorvane\\", paths);
    paths.tempDir = ownFolder(windows + "\\Temp\\Zorvane\\", paths);

    if (!paths.programDataDir.empty()) {
        paths.settingsPath = paths.programDataDir + "zorvane.cred";
        paths.hostCachePath = paths.programDataDir + "https_cache";
        paths.logLevelPath = paths.programDataDir + "zorvane_log_level";
    }
    if (!paths.tempDir.empty()) {
        paths.logPath = paths.tempDir + "zorvane_service.log";
        paths.updateInstallerPath = paths.tempDir;
    }
    return paths;
}

}  // namespace ServicePathsBuilder

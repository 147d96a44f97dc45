#include "port/ServicePaths.h"

#include <cstdio>

#include "port/FileSystem.h"

namespace ServicePathsBuilder {

namespace {

// The folder when it could be made the service's, else empty.
String ownFolder(const String& folder, ServicePaths& paths) {
    FileSystem::FolderResult result = FileSystem::makeServiceFolder(folder);
    if (!result.note.empty()) {
        std::printf("%s\n", result.note.c_str());
        std::fflush(stdout);
        paths.folderNotes.push_back(result.note);
    }
    return result.usable ? folder : String();
}

}  // namespace

ServicePaths fromFolders(const String& programDataDir, const String& tempDir) {
    ServicePaths paths;
    paths.programDataDir = ownFolder(programDataDir, paths);
    paths.tempDir = ownFolder(tempDir, paths);
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

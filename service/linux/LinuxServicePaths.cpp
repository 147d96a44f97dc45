#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "LinuxPaths.h"
#include "port/FileSystem.h"
#include "port/ServicePaths.h"

namespace {

// mkdir -p; the last folder gets `mode` when this call creates it (an
// existing folder, perhaps a shared one such as /tmp, is left as it is).
void createFolder(const String& folder, mode_t mode) {
    for (size_t slash = folder.find('/', 1); slash != String::npos;
         slash = folder.find('/', slash + 1)) {
        String parent = folder.substr(0, slash);
        bool last = slash + 1 == folder.size();
        if (::mkdir(parent.c_str(), last ? mode : 0755) == 0 && last) {
            // mkdir's mode passes through the umask.
            ::chmod(parent.c_str(), mode);
        }
    }
}

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
    paths.programDataDir = ownFolder(LinuxPaths::dataDir(), paths);
    paths.tempDir = ownFolder(LinuxPaths::tempDir(), paths);
    paths.runDir = LinuxPaths::runDir();
    // Every local user reaches the command sockets in here.
    createFolder(paths.runDir, 0755);

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

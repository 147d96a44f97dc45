#include <sys/stat.h>

#include <cerrno>

#include "LinuxPaths.h"
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

}  // namespace

namespace ServicePathsBuilder {

ServicePaths build() {
    ServicePaths paths = fromFolders(LinuxPaths::dataDir(), LinuxPaths::tempDir());
    paths.runDir = LinuxPaths::runDir();
    // Every local user reaches the command sockets in here.
    createFolder(paths.runDir, 0755);
    return paths;
}

}  // namespace ServicePathsBuilder

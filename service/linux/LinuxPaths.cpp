#include "LinuxPaths.h"

#include <cstdlib>

namespace LinuxPaths {

namespace {

String fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    String folder = (value && *value) ? String(value) : String(fallback);
    if (folder.empty() || folder.back() != '/') {
        folder += "/";
    }
    return folder;
}

}  // namespace

String dataDir() { return fromEnvironment("ZORVANE_DATA_DIR", "/var/lib/zorvane/"); }

String tempDir() { return fromEnvironment("ZORVANE_TEMP_DIR", "/var/tmp/zorvane/"); }

String runDir() { return fromEnvironment("ZORVANE_RUN_DIR", "/run/zorvane/"); }

}  // namespace LinuxPaths

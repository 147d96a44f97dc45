#pragma once

#include "base/String.h"

// Every folder and file the service uses, built once at start. Windows:
// the program-data and temp folders of the system. Linux: /var/lib/zorvane/,
// /var/tmp/zorvane/ and /run/zorvane/, each overridable by the environment
// (ZORVANE_DATA_DIR, ZORVANE_TEMP_DIR, ZORVANE_RUN_DIR) so tests and demos
// run in a temporary folder. Folder texts end with the path separator.
struct ServicePaths {
    String programDataDir;
    String tempDir;
    String runDir;  // sockets (Linux); empty on Windows, where pipes have names
    String settingsPath;
    String hostCachePath;
    String logLevelPath;
    String logPath;
    String updateInstallerPath;
};

namespace ServicePathsBuilder {

// Builds the paths and creates the folders (one level, result ignored); all
// empty when the system folder cannot be read.
ServicePaths build();

}  // namespace ServicePathsBuilder

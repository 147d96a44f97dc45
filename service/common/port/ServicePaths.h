#pragma once

#include <vector>

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
    // What was wrong with a folder and what was done about it, for the log
    // (the folders are made before the logger exists).
    std::vector<String> folderNotes;
};

namespace ServicePathsBuilder {

// Builds the paths and makes the program-data and temp folders the
// service's own (FileSystem::makeServiceFolder); all empty when the system
// folder cannot be read. The paths in a folder that cannot be made the
// service's stay empty, so nothing is read or written there.
ServicePaths build();

// The part every platform's build() shares: makes the two folders the
// service's own (a note about each is printed, since there may be no log to
// say it in, and kept) and names the files inside those that could be.
ServicePaths fromFolders(const String& programDataDir, const String& tempDir);

}  // namespace ServicePathsBuilder

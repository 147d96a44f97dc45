#pragma once

#include <cstdio>

#include "base/String.h"

// The few file-system operations the neutral code needs that the C and C++
// libraries do not give portably. One implementation per platform
// (service/windows/WinFileSystem.cpp, service/linux/LinuxFileSystem.cpp).
//
// The service runs as root (SYSTEM) while other local users may have been in
// its folders first: nothing here follows a link the service did not make,
// and every file the service writes ends up owned by the service with the
// protection asked for.
namespace FileSystem {

// Who may read a file the service writes. PRIVATE: the service's own user
// only (Linux 0600; Windows SYSTEM and Administrators). SHARED: every local
// user may read it (Linux 0644; Windows adds read for Users).
enum class Protection { PRIVATE, SHARED };

enum class Start { KEEP, APPEND, EMPTY };

// Copies `from` over `to` (replacing it) and gives the copy the source's
// last-modification time; the log rollover schedule is computed from it.
// Neither name is followed when it is a link; the copy is PRIVATE.
bool copyFile(const String& from, const String& to);

bool deleteFile(const String& path);

// Moves `from` over `to` in one step: readers see the old or the new file,
// never a mix.
bool replaceFile(const String& from, const String& to);

// Makes sure `path` is a plain file of the service's own (created when
// missing) with `protection`, and opens it for writing. What stands there
// and is not such a file (a link, a file with more than one name, a file of
// another owner, anything else the service can remove) is removed first and
// a fresh file is made, so a write never lands anywhere else. `start` EMPTY
// cuts the file to nothing (after the checks), APPEND writes at the end.
// Returns the open stream (binary), or null with lastError() set.
FILE* openForWriting(const String& path, Protection protection, Start start);

// openForWriting without keeping the file open: for writers that open the
// path themselves right after (a folder that only the service can write
// keeps it the same file). False with lastError() set.
bool prepareFile(const String& path, Protection protection);

// True when `path` is a link (which the service never follows).
bool isLink(const String& path);

// Reads a configuration file only when it can be trusted: a plain file, not
// a link, owned by root (SYSTEM, Administrators) or the service's own user,
// and not writable by everybody. `why` names the reason when it is not read:
// empty when the file is missing.
bool readTrustedFile(const String& path, String& content, String& why);

struct FolderResult {
    bool usable = false;
    String note;  // what was found and done, for the log; empty when it was fine
};

// Makes `folder` the service's own: its last component must be a real
// folder (not a link) owned by the service and writable by nobody else; its
// protection is then reset (Linux 0755; Windows full control for SYSTEM and
// Administrators, read for Users, nothing inherited). A folder that fails
// the check is moved aside to a fresh name next to it and a new one is made,
// so nothing planted in it is used; a folder shared by everybody (Linux:
// sticky and world-writable, such as /tmp, of root's) is refused as it is.
// Missing parents are created. Not usable when the folder cannot be made the
// service's.
FolderResult makeServiceFolder(const String& folder);

// The platform's code for the last failed system call (GetLastError on
// Windows, errno on Linux), as logged by the callers.
int lastError();

}  // namespace FileSystem

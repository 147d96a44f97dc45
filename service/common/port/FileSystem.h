#pragma once

#include "base/String.h"

// The few file-system operations the neutral code needs that the C and C++
// libraries do not give portably. One implementation per platform
// (service/windows/WinFileSystem.cpp, service/linux/LinuxFileSystem.cpp).
namespace FileSystem {

// Copies `from` over `to` (replacing it) and gives the copy the source's
// last-modification time; the log rollover schedule is computed from it.
bool copyFile(const String& from, const String& to);

bool deleteFile(const String& path);

// Moves `from` over `to` in one step: readers see the old or the new file,
// never a mix.
bool replaceFile(const String& from, const String& to);

// Makes `path` private: readable and writable by its owner only on Linux, by
// SYSTEM and Administrators only on Windows. Creates a missing file empty
// (already private, so no window exists in which others could open it) and
// tightens an existing one.
bool makePrivateFile(const String& path);

// The platform's code for the last failed system call (GetLastError on
// Windows, errno on Linux), as logged by the callers.
int lastError();

}  // namespace FileSystem

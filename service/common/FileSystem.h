#pragma once

#include "String.h"

// The few file-system operations the neutral code needs that the C and C++
// libraries do not give portably. One implementation per platform
// (service/windows/WinFileSystem.cpp, service/linux/LinuxFileSystem.cpp).
namespace FileSystem {

// Copies `from` over `to` (replacing it) and gives the copy the source's
// last-modification time; the log rollover schedule is computed from it.
bool copyFile(const String& from, const String& to);

bool deleteFile(const String& path);

// The platform's code for the last failed system call (GetLastError on
// Windows, errno on Linux), as logged by the callers.
int lastError();

}  // namespace FileSystem

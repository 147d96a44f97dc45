#include <windows.h>

#include "FileSystem.h"

namespace FileSystem {

bool copyFile(const String& from, const String& to) {
    // CopyFileA keeps the source's last-write time.
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool deleteFile(const String& path) { return DeleteFileA(path.c_str()) != 0; }

int lastError() { return static_cast<int>(GetLastError()); }

}  // namespace FileSystem

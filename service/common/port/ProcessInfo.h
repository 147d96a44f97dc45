#pragma once

#include "base/String.h"

// Facts about processes, one implementation per platform.
namespace ProcessInfo {

unsigned long currentProcessId();

enum ImageResult { IMAGE_OK, IMAGE_OPEN_FAILED, IMAGE_NAME_FAILED };

// The full path of a process's executable; on failure `error` holds the
// system's error code and the result says which step failed.
ImageResult executablePath(unsigned long pid, String& path, int& error);

}  // namespace ProcessInfo

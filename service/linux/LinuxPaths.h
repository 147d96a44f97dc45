#pragma once

#include "base/String.h"

// The service's folders on Linux; each can be moved by the environment so
// tests and demos run in a temporary folder. Each text ends with "/".
namespace LinuxPaths {

String dataDir();  // ZORVANE_DATA_DIR, else /var/lib/zorvane/
String tempDir();  // ZORVANE_TEMP_DIR, else /var/tmp/zorvane/
String runDir();   // ZORVANE_RUN_DIR, else /run/zorvane/ (sockets)

}  // namespace LinuxPaths

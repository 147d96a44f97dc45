#pragma once

#include <windows.h>

#include "base/String.h"

namespace WinProcessUser {

// The SID text of the user `process` runs as (a handle with query rights);
// empty, with the system error in `error`, when it cannot be read.
String sidText(HANDLE process, int& error);

// The same for the process with id `pid`.
String sidTextOf(DWORD pid, int& error);

}  // namespace WinProcessUser

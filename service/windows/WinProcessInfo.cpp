#include <windows.h>

#include "ProcessInfo.h"

namespace ProcessInfo {

unsigned long currentProcessId() {
    return GetCurrentProcessId();
}

}  // namespace ProcessInfo

#include <unistd.h>

#include "ProcessInfo.h"

namespace ProcessInfo {

unsigned long currentProcessId() {
    return static_cast<unsigned long>(getpid());
}

}  // namespace ProcessInfo

#pragma once

// Facts about processes, one implementation per platform.
namespace ProcessInfo {

unsigned long currentProcessId();

}  // namespace ProcessInfo

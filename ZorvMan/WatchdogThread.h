#pragma once

#include <cstdint>

class Watchdog;

// The watchdog's service thread, the same on every platform.
namespace WatchdogThread {

// The watchdog's name with the system's service manager (also its display
// name) and its description.
inline constexpr char kServiceName[] = "ZorvMan";
inline constexpr char kServiceDescription[] = "Zorvane Internet Filter Service Manager";

// Makes the log (zorv_man.log in the service's temp folder, every level
// written), calls `started` (when given) with the log in place, then
// watches every `periodMs` until watching ends.
void run(Watchdog& watchdog, uint32_t periodMs, void (*started)() = nullptr);

}  // namespace WatchdogThread

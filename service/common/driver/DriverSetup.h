#pragma once

#include <mutex>

// Configures the filter from the settings: the redirect process, the
// servers, the user map, the device and the current child when filtering is
// on; the dummy map that matches nobody when it is off.
namespace DriverSetup {

enum class Style {
    // The service's start-up and periodic sign-in: also sends the Windows
    // version and logs each failing step.
    Service,
    // After a sign-in from the desktop program: quieter, no Windows version.
    SignIn,
};

// 1 when the filter took the whole configuration; 0 when a step failed, no
// driver exists, or filtering is on without device record or servers.
int initializeDriver(Style style);

// Held from a sign-in until the settings and the filter follow its result,
// so the periodic sign-in cannot undo what a parent's sign-in just set up.
//
// The service's lock order, first taken first; never take an earlier lock
// while holding a later one:
//   sign-in lock (here) -> Authentication::mLock -> Settings::mLock -> Device::mLock
//   ControlDeviceDriver::mBuffLock -> ControlDeviceDriver::mHandleLock -> a
//   handle's own lock
// Notifier::mDeliveryLock -> Settings::mLock (a delivery copies the user map).
std::mutex& signInLock();

}  // namespace DriverSetup

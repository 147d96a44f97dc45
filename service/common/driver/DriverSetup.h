#pragma once

#include <mutex>

#include "settings/Settings.h"

class Driver;

// Configures the filter from the settings: the redirect process, the
// servers, the user map, the device, the current child and the enabled flag
// when filtering is on; the dummy map that matches nobody when it is off.
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
// Takes the configuration lock.
int initializeDriver(Style style);

// The whole configuration again, for a control device that was just
// (re)opened: a restarted filter knows nothing. Takes the configuration lock.
int configureOpenedDevice(Driver& driver);

// One user-map pass. An empty map would send nothing and leave the filter's
// previous users mapped: the entry that matches nobody replaces them.
// Expects the configuration lock held.
int sendUserMap(Driver& driver, const SysZorvUserMap& map);

// The filter's enabled flag: on while the map filters somebody. Expects the
// configuration lock held.
int sendFilterState(Driver& driver, const SysZorvUserMap& map);

// Held around every whole configuration sequence (sign-in, map change,
// periodic checks, start-up, the reopened device), so two sequences never
// interleave in the filter and the periodic sign-in cannot undo what a
// parent's sign-in just set up. Recursive: a sequence whose code finds the
// device gone reopens it and configures it again under the same lock.
//
// The service's lock order, first taken first; never take an earlier lock
// while holding a later one:
//   configuration lock (here) -> Authentication::mLock -> Settings::mLock -> Device::mLock
//   configuration lock -> ControlDeviceDriver::mStepLock (the access-lock
//   sequence with its retry) -> ControlDeviceDriver::mHandleLock -> a handle's
//   own lock
// Notifier::mDeliveryLock -> Settings::mLock (a delivery copies the user map).
std::recursive_mutex& configurationLock();

}  // namespace DriverSetup

#pragma once

class Service;

// The filtering service's name with the system's service manager (also its
// display name) and its description.
inline constexpr char ServiceName[] = "Zorvane_Filter_service";
inline constexpr char ServiceDescription[] = "Zorvane Internet Filter Service";

// The service thread's work, the same on every platform.
namespace ServiceStartup {

// Creates the platform's singletons in their order, each registering itself
// as the instance of its neutral base.
using PlatformSingletons = void (*)();
// Sees the Service just before its run() starts.
using ServiceReady = void (*)(Service*);

// Builds the paths and the logger, creates the platform singletons, the
// stores and the settings, loads them and runs the Service. Returns only if
// Service::run() does; the caller then ends the process, since the settings
// keep pointers to the stores on this function's stack.
void runServiceThread(PlatformSingletons createPlatformSingletons, ServiceReady ready);

}  // namespace ServiceStartup

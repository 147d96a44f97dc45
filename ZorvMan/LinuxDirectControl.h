#pragma once

#include <memory>

#include "base/String.h"
#include "port/ServiceControl.h"

// Where no service manager runs (containers, machines without systemd): one
// service watched as the process of its program. It is running while a
// process of this user runs that program; starting it runs the program
// without arguments in a session of its own. The watch thread alone uses it.
namespace LinuxDirectControl {

// A connection that knows service `serviceName` as `programPath`; every
// other name is not installed.
std::unique_ptr<ServiceControl> connect(const String& serviceName, const String& programPath);

}  // namespace LinuxDirectControl

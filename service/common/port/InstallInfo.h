#pragma once

#include "base/String.h"

// Where the product is installed. Windows: the registry value "Install Path"
// of HKLM\SOFTWARE\Zorvane. Linux: ZORVANE_INSTALL_DIR, else /opt/zorvane.
namespace InstallInfo {

// The installation folder; empty when it cannot be read (the failure is
// logged).
String readInstallPath();

// Where the installer puts the product unless told otherwise; the watchdog
// falls back to it when readInstallPath() gives nothing.
String defaultInstallPath();

// The watchdog's and the filtering service's programs inside installation
// folder `installPath` (Windows: its "service files" subfolder; Linux: its
// bin subfolder).
String watchdogProgramPath(const String& installPath);
String serviceProgramPath(const String& installPath);

}  // namespace InstallInfo

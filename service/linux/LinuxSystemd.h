#pragma once

#include <vector>

#include "base/String.h"

// The service's place under systemd: its unit file, systemctl, and the
// console installer's -i and -u. ZORVANE_SYSTEMD_ROOT (normally unset, that
// is "/") moves the folders below so tests can stand in for systemd.
namespace LinuxSystemd {

// Whether systemd manages this system (<root>/run/systemd/system exists).
bool isRunning();
// That folder, for messages.
String runningMarkerPath();

// A service's unit: its name in lower case plus ".service".
String unitName(const String& serviceName);
// Where -i writes the unit: <root>/etc/systemd/system/<unit>.
String unitFilePath(const String& serviceName);

// The unit file text that runs `programPath` without arguments and restarts
// it 100 ms after every failure, a kill by any signal but the stop signals
// included, without a start limit.
String unitFileText(const String& description, const String& programPath);

// Runs systemctl (found through PATH) with `args`, without a shell; its exit
// status, or -1 when it could not be run. Its standard output goes into
// `output` when given.
int systemctl(const std::vector<String>& args, String* output = nullptr);

// The console installer: install this program as service `serviceName` and
// start it, or stop and remove it. Each prints what it does and returns the
// process exit code (0 also when -u finds nothing to remove).
int installService(const String& serviceName, const String& description);
int uninstallService(const String& serviceName);

}  // namespace LinuxSystemd

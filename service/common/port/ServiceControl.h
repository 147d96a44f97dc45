#pragma once

#include <memory>

#include "base/String.h"

// Service states as the system's service manager reports them (the SCM's
// numbers; systemd's states are mapped onto them).
enum E_ServiceState {
    SERVICE_STATE_STOPPED = 1,
    SERVICE_STATE_START_PENDING = 2,
    SERVICE_STATE_STOP_PENDING = 3,
    SERVICE_STATE_RUNNING = 4,
    SERVICE_STATE_CONTINUE_PENDING = 5,
    SERVICE_STATE_PAUSE_PENDING = 6,
    SERVICE_STATE_PAUSED = 7,
};

struct ServiceStatusInfo {
    int state = SERVICE_STATE_STOPPED;
    int win32ExitCode = 0;
    int serviceSpecificExitCode = 0;
};

// One connection to the system's service manager and at most one service
// opened through it: the SCM on Windows (WinServiceControl.cpp), systemd
// through systemctl on Linux (LinuxServiceControl.cpp). Failures give the
// platform's error code.
class ServiceControl {
public:
    // Connects with full rights; null, with `error`, when that fails.
    static std::unique_ptr<ServiceControl> connect(int& error);

    ServiceControl() = default;
    ServiceControl(const ServiceControl&) = delete;
    ServiceControl& operator=(const ServiceControl&) = delete;
    virtual ~ServiceControl() = default;

    // Opens service `name` with full rights; false when it is not installed
    // or cannot be opened.
    virtual bool openService(const String& name, int& error) = 0;
    // Of the opened service.
    virtual bool queryStatus(ServiceStatusInfo& status, int& error) = 0;
    virtual bool startService(int& error) = 0;
    virtual bool stopService(int& error) = 0;
};

// The command line for the system's command interpreter (std::system) that
// runs program `path` with `argument`, the path quoted so that spaces and
// the interpreter's special characters survive.
String commandLineFor(const String& path, const String& argument);

#pragma once

#include <functional>

#include "base/String.h"

class ServiceControl;

// Keeps another service installed and running: starts it when it is
// stopped, reinstalls it through its own program when it is missing.
class ServiceManager {
public:
    // Gives the full path of the kept service's program when it is needed.
    using ProgramPath = std::function<String()>;

    // `name`: the service's name with the system's service manager; `path`:
    // the full path of its program, which understands -u and -i.
    ServiceManager(String name, String path);
    // The same with the path looked up only when the service must be
    // reinstalled.
    ServiceManager(String name, ProgramPath programPath);

    // Always 1; what happened is logged.
    int manage();
    // The same over a connection the caller made (and whose failure it
    // handled itself).
    int manage(ServiceControl& control);
    // Runs the program with -u, then with -i, through the command
    // interpreter; 1, or 0 when there is no program path.
    int reinstallService();

private:
    String serviceName;
    ProgramPath servicePath;
};

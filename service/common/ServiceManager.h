#pragma once

#include "base/String.h"

// Keeps another service installed and running: starts it when it is
// stopped, reinstalls it through its own program when it is missing.
class ServiceManager {
public:
    // `name`: the service's name with the system's service manager; `path`:
    // the full path of its program, which understands -u and -i.
    ServiceManager(String name, String path);

    // Always 1; what happened is logged.
    int manage();
    // Runs the program with -u, then with -i, through the command
    // interpreter; always 1.
    int reinstallService();

private:
    String serviceName;
    String servicePath;
};

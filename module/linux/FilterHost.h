#pragma once

// The filter host's program body, shared by zorvane_filter and the tests'
// host: options, start of the filter and its control device, the wait for
// SIGTERM or SIGINT, and the unload in order.

#include <string>

#include "ControlServer.h"

struct FilterHostOptions {
    std::string socketPath;  // empty: the run folder's
    std::string logPath;     // empty: standard error
    int level = 1;           // ZORVANE_DBG_INFO
    bool packetPath = true;  // rules and proxy; off for hosts of tests that need none
};

// Offered each argument the host does not know; returns how many arguments
// it took from `index` on (0: unknown).
using FilterHostExtraOption = int (*)(int argc, char** argv, int index);

// Parses the command line into `options`. -1 to go on; otherwise the exit
// code, after printing the usage (with `extraUsage` appended).
int ParseFilterHostOptions(int argc, char** argv, FilterHostOptions* options,
                           FilterHostExtraOption extra = nullptr, const char* extraUsage = "");

// Runs the host until a stop signal; the process exit code. `control`
// replaces the filter's dispatch of control codes; `started` runs once the
// control device is up.
int RunFilterHost(const FilterHostOptions& options, ZorvaneDeviceControlFn control = nullptr,
                  void (*started)() = nullptr);

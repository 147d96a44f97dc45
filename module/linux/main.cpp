// zorvane_filter: the filter's user-space host on Linux. Serves the control
// device on a Unix socket until SIGTERM or SIGINT, then unloads in order.

#include "FilterHost.h"

int main(int argc, char** argv) {
    FilterHostOptions options;
    const int exitCode = ParseFilterHostOptions(argc, argv, &options);
    if (exitCode >= 0) {
        return exitCode;
    }
    return RunFilterHost(options);
}

// The watchdog program on Linux: console installer (-i, -u) of its systemd
// unit and the daemon that keeps the filtering service's unit running.
#include <cstdio>

#include "LinuxServiceEntry.h"
#include "LinuxSystemd.h"
#include "StepOption.h"
#include "Watchdog.h"
#include "WatchdogThread.h"
#include "base/Logger.h"

namespace {

uint32_t watchPeriodMs = Watchdog::kWatchPeriodMs;  // set before any thread exists
Watchdog watchdog;

void started() {
    markServiceStarted();
    if (!LinuxSystemd::isRunning()) {
        Logger::instance()->out(
            LOGLEVEL_ERROR,
            "systemd is not running on this system (%s is missing): the filtering service "
            "cannot be started or reinstalled through it; each watch step counts as a failed "
            "service manager open until systemd is there, and the sixth ends watching\n",
            LinuxSystemd::runningMarkerPath().c_str());
    }
}

void serviceThread() {
    WatchdogThread::run(watchdog, watchPeriodMs, started);
}

bool setPaused(bool pause) {
    return watchdog.setPaused(pause);
}

}  // namespace

int main(int argc, char** argv) {
    if (StepOption::take(argc, argv, watchPeriodMs) == StepOption::STEP_OPTION_BAD) {
        std::fprintf(stderr,
                     "--step-ms takes the milliseconds between two watch steps (1 to 3600000)\n");
        return 2;
    }
    static const LinuxServiceProgram program{WatchdogThread::kServiceName,
                                             WatchdogThread::kServiceDescription,
                                             "zorv_man",
                                             serviceThread,
                                             setPaused,
                                             nullptr};
    return runLinuxServiceProgram(argc, argv, program);
}

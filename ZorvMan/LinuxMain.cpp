// The watchdog program on Linux: console installer (-i, -u) of its systemd
// unit and the daemon that keeps the filtering service's unit running (or,
// without systemd, its program).
#include <cstdio>

#include "LinuxDirectControl.h"
#include "LinuxServiceEntry.h"
#include "LinuxSystemd.h"
#include "ServiceStartup.h"
#include "StepOption.h"
#include "Watchdog.h"
#include "WatchdogThread.h"
#include "base/Logger.h"
#include "port/InstallInfo.h"

namespace {

uint32_t watchPeriodMs = Watchdog::kWatchPeriodMs;  // set before any thread exists

void started() {
    markServiceStarted();
    if (!LinuxSystemd::isRunning()) {
        String program = InstallInfo::serviceProgramPath(InstallInfo::readInstallPath());
        Logger::instance()->out(
            LOGLEVEL_ERROR,
            "systemd is not running on this system (%s is missing): the filtering service is "
            "watched as the process of its program %s instead, which is started again whenever "
            "none runs; a missing program cannot be reinstalled here\n",
            LinuxSystemd::runningMarkerPath().c_str(), program.c_str());
    }
}

// systemd where it runs; else the filtering service's program itself.
std::unique_ptr<ServiceControl> connect(int& error) {
    if (LinuxSystemd::isRunning()) {
        return ServiceControl::connect(error);
    }
    return LinuxDirectControl::connect(
        ServiceName, InstallInfo::serviceProgramPath(InstallInfo::readInstallPath()));
}

Watchdog watchdog(connect);

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

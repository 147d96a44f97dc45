// The watchdog program on Windows: console installer (-i, -u) and the
// "ZorvMan" service that keeps the filtering service installed and running.
#include <cstdio>

#include "StepOption.h"
#include "Watchdog.h"
#include "WatchdogThread.h"
#include "WinServiceEntry.h"

namespace {

uint32_t watchPeriodMs = Watchdog::kWatchPeriodMs;  // set before any thread exists
Watchdog watchdog;

void serviceThread() {
    WatchdogThread::run(watchdog, watchPeriodMs);
}

bool setPaused(bool pause) {
    return watchdog.setPaused(pause);
}

}  // namespace

int main(int argc, char** argv) {
    if (StepOption::take(argc, argv, watchPeriodMs) == StepOption::STEP_OPTION_BAD) {
        std::printf("--step-ms takes the milliseconds between two watch steps (1 to 3600000)\n");
        return 2;
    }
    static const WinServiceProgram program{WatchdogThread::kServiceName,
                                           WatchdogThread::kServiceDescription, serviceThread,
                                           setPaused};
    return runWinServiceProgram(argc, argv, program);
}

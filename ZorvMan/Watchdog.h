#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/String.h"
#include "port/ServiceControl.h"

// The watchdog's watch loop: every step asks the system's service manager
// for the filtering service, starts it when it has stopped and reinstalls it
// from the installation folder when it is gone. Failing to reach the service
// manager is counted over the life of the object; the sixth failure ends
// watching for good.
class Watchdog {
public:
    using Connect = std::unique_ptr<ServiceControl> (*)(int& error);

    static constexpr uint32_t kWatchPeriodMs = 10000;
    // Watching ends once errorCount is greater than this.
    static constexpr int kErrorLimit = 5;

    // `connect` reaches the service manager (a seam for the tests).
    explicit Watchdog(Connect connect = &ServiceControl::connect);
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // The installation folder, or the installer's default when it cannot be
    // read.
    static String getInstallPath();
    // Runs the filtering service's program at `path` with -u, then -i; 0
    // when `path` is empty.
    static int reinstallService(String path);

    // One watch step; 0 means that watching ends.
    int manageFilterService();
    // Steps every `periodMs` until a step returns 0, then logs why. Only
    // the watch thread calls it.
    void watch(uint32_t periodMs);
    // Holds (true) or releases the loop between two steps; false when it
    // already was so.
    bool setPaused(bool pause);

    int errorCount() const { return mErrorCount; }

private:
    // Waits `periodMs`, and on while paused.
    void waitForNextStep(uint32_t periodMs);

    Connect mConnect;
    int mErrorCount = 0;  // the watch thread's only
    // Guards mPaused: the control thread sets it, the watch thread waits on it.
    std::mutex mLock;
    std::condition_variable mPauseChanged;
    bool mPaused = false;
};

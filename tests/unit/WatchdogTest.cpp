// The watchdog's count of failed service-manager opens: never reset, and the
// sixth failure over the life of the watchdog ends watching.
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace {

// The service manager as the next opens will find it: 'F' fails with error
// 5, 'S' connects to a manager whose filtering service runs.
std::string script;
size_t opens = 0;

class RunningService : public ServiceControl {
public:
    bool openService(const String&, int&) override { return true; }
    bool queryStatus(ServiceStatusInfo& status, int&) override {
        status.state = SERVICE_STATE_RUNNING;
        return true;
    }
    bool startService(int&) override { return true; }
    bool stopService(int&) override { return true; }
};

std::unique_ptr<ServiceControl> scriptedConnect(int& error) {
    const char next = opens < script.size() ? script[opens] : 'F';
    ++opens;
    if (next == 'F') {
        error = 5;
        return nullptr;
    }
    return std::make_unique<RunningService>();
}

TEST(WatchdogErrorCount, TheSixthFailedOpenEndsWatchingWhereverItComes) {
    struct Case {
        const char* opens;
        const char* results;  // of each step, in order
    } cases[] = {
        {"FFFFFF", "111110"},
        {"FSFSFSFSFSF", "11111111110"},
        {"FFFFFSSSSSSSF", "1111111111110"},
        {"SSSSSSSSSS", "1111111111"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.opens);
        script = c.opens;
        opens = 0;
        Watchdog watchdog(scriptedConnect);
        LogWatch log;
        std::string results;
        for (size_t step = 0; step < script.size(); ++step) {
            results += watchdog.manageFilterService() ? '1' : '0';
        }
        EXPECT_EQ(results, c.results);
        const bool ended = results.back() == '0';
        EXPECT_EQ(log.count("error in OpenSCManager 5\n"), ended ? 5 : 0);
        EXPECT_EQ(log.count("error count exceeded in OpenSCManager 5\n"), ended ? 1 : 0);
        EXPECT_EQ(log.count("STOPPING Zorvane Manager\n"), ended ? 1 : 0);
    }
}

TEST(WatchdogErrorCount, TheWatchLoopEndsAfterTheSixthFailure) {
    script = "SFSFFSFSF";  // the rest fail too
    opens = 0;
    Watchdog watchdog(scriptedConnect);
    LogWatch log;
    watchdog.watch(1);
    EXPECT_EQ(opens, 10u);
    EXPECT_EQ(watchdog.errorCount(), 6);
    EXPECT_EQ(log.count("service is RUNNING\n"), 4);
    EXPECT_TRUE(log.saw("STOPPING Zorvane Manager\n"));
    EXPECT_TRUE(log.saw("Exiting with error\n"));
}

}  // namespace

// The real filter host killed and started again under the running service:
// the filter has its whole configuration back within seconds, not at the next
// sign-in check, and the parent's status check tells a filter that does not
// answer from one that is switched off.

#include <signal.h>

#include <chrono>
#include <regex>

#include "HostileSystem.h"

namespace {

class FilterRestart : public HostileSystem {
protected:
    void killFilter() {
        ::kill(mFilter->pid(), SIGKILL);
        mFilter->waitForExit(10000);
        mFilter.reset();
    }
    void startFilter() {
        mFilter = std::make_unique<ChildProcess>(
            std::vector<std::string>{ZORVANE_FILTER_PROGRAM, "--socket", runDir() + "ZorvaneFilter",
                                     "--log", root() + "/filter.log", "--log-level", "0",
                                     "--packet-path", "off"},
            Environment{});
    }
    // Whether the filter's last map dump in `log` holds `sid` with `child`.
    static bool lastDumpMaps(const std::string& log, const std::string& sid, int child) {
        const size_t at = log.rfind("WinUser Map DUMP");
        if (at == std::string::npos) {
            return false;
        }
        // Each log line carries a time stamp before its text.
        return std::regex_search(log.substr(at), std::regex("sid - " + sid + "\n[^\n]*childId - " +
                                                            std::to_string(child) + "\n"));
    }
    ProgramResult status() { return ctl({"status"}); }
};

TEST_F(FilterRestart, KilledFilterHasItsConfigurationBackWithinSeconds) {
    ASSERT_NO_FATAL_FAILURE(startService());
    ProgramResult before = status();
    EXPECT_EQ(before.exitCode, 0);
    EXPECT_EQ(before.output, "not filtering\n");

    ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n"));
    ProgramResult mapped = status();
    EXPECT_EQ(mapped.exitCode, 0);
    EXPECT_EQ(mapped.output, "filtering\n");

    killFilter();
    ProgramResult gone = status();
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_TRUE(contains(gone.output, "the filter module does not answer")) << gone.output;

    const size_t from = filterLog().size();
    const auto started = std::chrono::steady_clock::now();
    startFilter();
    // A functional bound, not a speed goal: the sign-in check would take
    // up to 30 minutes.
    const bool back = eventually(
        [&] { return lastDumpMaps(filterLog().substr(from), child().sid(), 101); }, 15000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    ASSERT_TRUE(back) << filterLog().substr(from) << "\n" << serviceLog();
    RecordProperty("map_back_ms", static_cast<int>(took.count()));

    const std::string restarted = filterLog().substr(from);
    for (const char* line :
         {"ExecSetServerAddressCmd", "device id = 1001", "ExecSetCurrentUserCmd", "enable filtering 1"}) {
        EXPECT_TRUE(eventually([&] { return contains(filterLog().substr(from), line); }, 5000))
            << line << "\n"
            << restarted;
    }
    ProgramResult again = status();
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.output, "filtering\n");
}

}  // namespace

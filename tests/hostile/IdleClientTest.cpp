// One idle client cannot stall a channel: a user who opens connections and
// sends half a frame, or nothing, holds nobody else.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

#include "HostileSystem.h"

namespace {

using Clock = std::chrono::steady_clock;

class IdleClients : public HostileSystem {
protected:
    // A raw client of the child's that stays connected in the background.
    void hold(const std::string& socket, const std::vector<std::string>& steps) {
        std::vector<std::string> argv{ZORVANE_RAW_CLIENT, socket};
        argv.insert(argv.end(), steps.begin(), steps.end());
        argv.push_back("sleep:30000");
        mHeld.push_back(std::make_unique<ChildProcess>(
            argv, Environment{}, as(child()), root() + "/held-" + std::to_string(mHeld.size())));
    }

    std::vector<std::unique_ptr<ChildProcess>> mHeld;
};

TEST_F(IdleClients, HalfFramesAndSilenceDoNotDelayTheParent) {
    ASSERT_NO_FATAL_FAILURE(startService());
    // Half a sign-in frame and a silent connection on both channels.
    for (const std::string& socket : {uiSocket(), notifierSocket()}) {
        hold(socket, {"bytes:10000000" "04010000" "70617265"});
        hold(socket, {});
    }
    ASSERT_TRUE(eventually([&] { return contains(serviceLog(), "WinPipe::connect() failed 0 1"); }));

    const Clock::time_point start = Clock::now();
    ProgramResult signIn = ctl({"signin", kParent}, std::string(kParentPassword) + "\n");
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_EQ(signIn.exitCode, 0) << signIn.output;
    // Well inside the 5 s a started frame may take.
    EXPECT_LT(took.count(), 5000) << serviceLog();

    // Another user's notifier still gets the service's version.
    ProgramResult version = runProgram({ZORVANE_NOTIFIER_PROGRAM, "version"},
                                       Environment{"ZORVANE_RUN_DIR=" + runDir()}, as(other()),
                                       30000);
    EXPECT_EQ(version.exitCode, 0) << version.output;
    EXPECT_TRUE(contains(version.output, "2.1.0")) << version.output;

    // The half frames are given up after the frame time.
    EXPECT_TRUE(eventually([&] { return contains(serviceLog(), "too slow - dropped after 5000 ms"); }))
        << serviceLog();
}

TEST_F(IdleClients, ManyConnectionsOfOneUserTakeOnlyTheirOwnPlaces) {
    ASSERT_NO_FATAL_FAILURE(startService());
    for (int i = 0; i < 12; ++i) {
        hold(uiSocket(), {});
    }
    const std::string uid = "uid:" + std::to_string(child().uid);
    ASSERT_TRUE(eventually([&] {
        return contains(serviceLog(), "idle client of " + uid + " dropped for a new one");
    })) << serviceLog();
    ProgramResult status = ctl({"auth-status"});
    EXPECT_EQ(status.exitCode, 0) << status.output;
    // The parent's connections are never the ones dropped for the child's.
    EXPECT_FALSE(contains(serviceLog(), "idle client of uid:0 dropped")) << serviceLog();
}

// zorvanectl's own time-outs: a socket whose owner never accepts.
TEST(ZorvanectlTimeouts, SaysWhichStepRanOut) {
    TempDir dir;
    const std::string path = dir.file("zorvane_pipe");
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ProgramResult result =
        runProgram({ZORVANECTL_PROGRAM, "auth-status"},
                   Environment{"ZORVANE_RUN_DIR=" + dir.path().string(), "ZORVANE_CTL_TIMEOUT_MS=300"},
                   {}, 30000);
    ::close(listener);
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_TRUE(contains(result.output, "did not answer within 300 ms")) << result.output;
}

}  // namespace

// The watchdog program on Linux: the units both programs install, and the
// daemon keeping the filtering service's unit running and installed through
// a stand-in systemctl (systemd does not run here), or, without systemd, the
// filtering service's program itself.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "LinuxProcess.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int count(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

// The program's full path found through PATH; empty when it is not there.
std::string inPath(const std::string& program) {
    std::string folders = std::getenv("PATH") ? std::getenv("PATH") : "";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        fs::path candidate = fs::path(folders.substr(start, end - start)) / program;
        if (end > start && access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        start = end + 1;
    }
    return "";
}

// systemd's folders in a temporary root, the stand-in systemctl first in
// PATH, an installation folder whose bin holds the real filtering service
// program, and the programs' own folders.
class WatchdogRoot : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(mRoot.path() / "run/systemd/system");
        fs::create_directories(mRoot.path() / "etc/systemd/system");
        fs::create_directories(mRoot.path() / "bin");
        fs::create_directories(mRoot.path() / "install dir/bin");
        fs::copy_file(ZORVANE_FAKE_SYSTEMCTL, mRoot.path() / "bin/systemctl");
        fs::permissions(mRoot.path() / "bin/systemctl", fs::perms::owner_all);
        fs::create_symlink(ZORVANE_SERVICE_PROGRAM,
                           mRoot.path() / "install dir/bin/zorvane_service");
    }
    Environment environment() const {
        return {"ZORVANE_SYSTEMD_ROOT=" + mRoot.path().string(),
                "PATH=" + mRoot.file("bin") + ":" + std::getenv("PATH"),
                "ZORVANE_INSTALL_DIR=" + mRoot.file("install dir"),
                "ZORVANE_DATA_DIR=" + mRoot.file("data"),
                "ZORVANE_TEMP_DIR=" + mRoot.file("temp"),
                "ZORVANE_RUN_DIR=" + mRoot.file("run")};
    }
    std::string unitFile(const std::string& unit) const {
        return mRoot.file("etc/systemd/system/" + unit);
    }
    std::string fakeFile(const std::string& name) const { return mRoot.file("fake/" + name); }
    // A filtering service process running with this root's folders; 0 when
    // there is none.
    pid_t ourFilteringService() const {
        const std::string program = fs::canonical(ZORVANE_SERVICE_PROGRAM).string();
        const std::string tempDir = "ZORVANE_TEMP_DIR=" + mRoot.file("temp");
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            std::error_code error;
            if (fs::read_symlink(entry.path() / "exe", error).string() != program) {
                continue;
            }
            std::string environment = readFile((entry.path() / "environ").string());
            if (contains(environment, std::string(1, '\0') + tempDir + '\0') ||
                environment.rfind(tempDir + '\0', 0) == 0) {
                return static_cast<pid_t>(std::stoi(name));
            }
        }
        return 0;
    }
    void TearDown() override {
        // What the watchdog started outlives it.
        for (pid_t pid; (pid = ourFilteringService()) != 0;) {
            kill(pid, SIGKILL);
            eventually([&] { return ourFilteringService() != pid; });
        }
    }
    std::string log() const { return readFile(mRoot.file("temp/zorv_man.log")); }
    bool logShows(const std::string& text) const {
        return eventually([&] { return contains(log(), text); });
    }

    TempDir mRoot;
};

TEST_F(WatchdogRoot, EachProgramInstallsAUnitThatRestartsItOnAnyFailure) {
    struct Case {
        const char* program;
        const char* unit;
        const char* description;
    } cases[] = {
        {ZORVANE_SERVICE_PROGRAM, "zorvane_filter_service.service",
         "Zorvane Internet Filter Service"},
        {ZORVANE_WATCHDOG_PROGRAM, "zorvman.service", "Zorvane Internet Filter Service Manager"},
    };
    const std::string analyze = inPath("systemd-analyze");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        ProgramResult install = runProgram({c.program, "-i"}, environment());
        EXPECT_EQ(install.exitCode, 0) << install.output;
        const std::string text = readFile(unitFile(c.unit));
        for (const std::string& line : {
                 "Description=" + std::string(c.description) + "\n",
                 "ExecStart=\"" + fs::canonical(c.program).string() + "\"\n",
                 std::string("Restart=on-failure\n"),
                 std::string("RestartSec=100ms\n"),
                 std::string("StartLimitIntervalSec=0\n"),
             }) {
            EXPECT_TRUE(contains(text, line)) << line << text;
        }
        if (!analyze.empty()) {
            ProgramResult verify = runProgram({analyze, "verify", unitFile(c.unit)});
            EXPECT_EQ(verify.exitCode, 0) << verify.output;
            EXPECT_EQ(verify.output, "");
        }
        EXPECT_EQ(readFile(fakeFile(std::string(c.unit) + ".state")), "active\n");
    }
    if (analyze.empty()) {
        std::printf("systemd-analyze is not installed: the units were not verified\n");
    }
}

TEST_F(WatchdogRoot, KeepsTheFilteringUnitInstalledAndRunning) {
    const std::string unit = "zorvane_filter_service.service";
    ChildProcess watchdog({ZORVANE_WATCHDOG_PROGRAM, "--step-ms", "50"}, environment());

    // Missing: reinstalled through the program in the installation folder.
    const std::string program = "'" + mRoot.file("install dir/bin/zorvane_service") + "'";
    ASSERT_TRUE(logShows("command " + program + " -i\n")) << log();
    EXPECT_TRUE(contains(log(), "error in OpenService 2\n")) << log();
    EXPECT_TRUE(contains(log(), "getInstallPath() " + mRoot.file("install dir") + "\n"));
    EXPECT_TRUE(contains(log(), "command " + program + " -u\n"));
    EXPECT_TRUE(eventually([&] { return readFile(fakeFile(unit + ".state")) == "active\n"; }));
    EXPECT_TRUE(fileExists(unitFile(unit)));
    ASSERT_TRUE(logShows("service is RUNNING\n")) << log();

    // Ended with an error: started again at the next step.
    writeFile(fakeFile(unit + ".status"), "9");
    writeFile(fakeFile(unit + ".state"), "failed\n");
    EXPECT_TRUE(logShows("service has stopped with error 0 9\n")) << log();
    EXPECT_TRUE(logShows("Trying to start the service\n")) << log();
    EXPECT_TRUE(eventually([&] { return readFile(fakeFile(unit + ".state")) == "active\n"; }));

    kill(watchdog.pid(), SIGTERM);
    EXPECT_EQ(watchdog.waitForExit(3000), 0);
}

TEST_F(WatchdogRoot, WithoutSystemdWatchesTheProgramItselfAndRestartsItAfterAKill) {
    fs::remove(mRoot.path() / "run/systemd/system");
    ChildProcess watchdog({ZORVANE_WATCHDOG_PROGRAM, "--step-ms", "50"}, environment());
    ASSERT_TRUE(logShows("Trying to start the service\n")) << log();
    EXPECT_TRUE(contains(log(), "systemd is not running on this system (" + mRoot.file("") +
                                    "run/systemd/system is missing)"))
        << log();
    pid_t first = 0;
    ASSERT_TRUE(eventually([&] { return (first = ourFilteringService()) != 0; }));
    ASSERT_TRUE(logShows("service is RUNNING\n")) << log();
    // The started service is the real one, with the watchdog's folders.
    EXPECT_TRUE(eventually([&] {
        return contains(readFile(mRoot.file("temp/zorvane_service1.log")) +
                            readFile(mRoot.file("temp/zorvane_service.log")),
                        "logPath " + mRoot.file("temp") + "/zorvane_service.log\n");
    }));

    kill(first, SIGKILL);
    EXPECT_TRUE(logShows("service has stopped with error 0 137\n")) << log();
    pid_t second = 0;
    EXPECT_TRUE(eventually([&] {
        second = ourFilteringService();
        return second != 0 && second != first;
    }));
    // Started once each time: one service runs.
    EXPECT_EQ(count(log(), "Trying to start the service\n"), 2) << log();

    // The service outlives its watchdog, as under a service manager.
    kill(watchdog.pid(), SIGTERM);
    EXPECT_EQ(watchdog.waitForExit(3000), 0);
    EXPECT_EQ(ourFilteringService(), second);
}

TEST(WatchdogCommandLine, RefusesABadStep) {
    for (const char* step : {"0", "x", "10x", "3600001"}) {
        SCOPED_TRACE(step);
        ProgramResult result = runProgram({ZORVANE_WATCHDOG_PROGRAM, "--step-ms", step});
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_TRUE(contains(result.output, "--step-ms takes")) << result.output;
    }
}

}  // namespace

// The service program on Linux: the daemon under signals and serving its
// desktop channel, the command line, and -i/-u against a stand-in systemctl.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "LinuxPipeClient.h"
#include "LinuxProcess.h"
#include "LinuxSystemd.h"
#include "port/ServicePaths.h"
#include "TestSupport.h"
#include "UiPipeScenario.h"

namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] = "\nUSAGE:\nserver -i\tInstall service\nserver -u\tUninstall service\n";
constexpr char kUnit[] = "zorvane_filter_service.service";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The daemon starts its service thread only after blocking the control
// signals: a second thread shows that they are blocked.
bool hasSecondThread(pid_t pid) {
    std::error_code error;
    auto tasks = fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error);
    return !error && std::distance(tasks, fs::directory_iterator()) > 1;
}

// The daemon's three folders in a temporary one.
class DaemonRoot {
public:
    Environment environment() const {
        return {"ZORVANE_DATA_DIR=" + mDir.file("data"), "ZORVANE_TEMP_DIR=" + mDir.file("temp"),
                "ZORVANE_RUN_DIR=" + mDir.file("run")};
    }
    std::string folder(const std::string& name) const { return mDir.file(name) + "/"; }
    // The current log and the one the first check may have rolled it into.
    std::string log() const {
        return readFile(mDir.file("temp/zorvane_service1.log")) +
               readFile(mDir.file("temp/zorvane_service.log"));
    }
    bool logShows(const std::string& text) const {
        return eventually([&] { return contains(log(), text); });
    }

private:
    TempDir mDir;
};

TEST(LinuxDaemon, LogsItsPathsAndFollowsPauseContinueAndStop) {
    DaemonRoot root;
    ChildProcess daemon({ZORVANE_SERVICE_PROGRAM}, root.environment());
    ASSERT_TRUE(root.logShows("Loading Settings from store\n")) << root.log();
    std::string data = root.folder("data");
    std::string temp = root.folder("temp");
    std::string log = root.log();
    for (const std::string& line : {
             " programDataDir " + data + "\n",
             " settingsPath " + data + "zorvane.cred\n",
             " hostCachePath " + data + "https_cache\n",
             " logLevelPath " + data + "zorvane_log_level\n",
             " logPath " + temp + "zorvane_service.log\n",
             " updateInstallerPath " + temp + "\n",
             " logger i/p " + temp + "zorvane_service.log " + data + "zorvane_log_level\n",
         }) {
        EXPECT_TRUE(contains(log, line)) << line;
    }
    // The host cache is loaded after the settings.
    ASSERT_TRUE(root.logShows("Loading HTTPS cache from store\n")) << root.log();
    log = root.log();
    EXPECT_LT(log.find("Loading Settings from store\n"),
              log.find("Loading HTTPS cache from store\n"));
    EXPECT_TRUE(fs::is_directory(root.folder("run")));

    // SIGTSTP pauses the check loop, not the process.
    kill(daemon.pid(), SIGTSTP);
    EXPECT_TRUE(root.logShows("service paused\n"));
    EXPECT_NE(daemon.state(), 'T');
    kill(daemon.pid(), SIGCONT);
    EXPECT_TRUE(root.logShows("service continued\n"));

    // The stop takes the sockets it served along.
    const std::vector<std::string> sockets{root.folder("run") + "zorvane_pipe",
                                           root.folder("run") + "zorvane_notifier_cmd_pipe"};
    for (const std::string& socket : sockets) {
        EXPECT_TRUE(eventually([&] { return socketAccepts(socket); })) << socket;
    }
    kill(daemon.pid(), SIGTERM);
    EXPECT_EQ(daemon.waitForExit(3000), 0);
    EXPECT_TRUE(contains(root.log(), "service stopping on signal 15\n"));
    for (const std::string& socket : sockets) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(socket))) << socket;
    }
}

TEST(LinuxDaemon, StopSignalEndsItAtAnyTime) {
    struct Case {
        int signal;
        bool waitUntilReady;
    } cases[] = {{SIGINT, true}, {SIGTERM, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signal);
        DaemonRoot root;
        ChildProcess daemon({ZORVANE_SERVICE_PROGRAM}, root.environment());
        if (c.waitUntilReady) {
            ASSERT_TRUE(root.logShows("Loading Settings from store\n"));
        } else {
            // Early, but not before main: a signal before that is not ours.
            ASSERT_TRUE(eventually([&] { return hasSecondThread(daemon.pid()); }));
        }
        kill(daemon.pid(), c.signal);
        EXPECT_EQ(daemon.waitForExit(3000), 0);
    }
}

TEST(LinuxServiceCommandLine, UsageMisuseAndMissingSystemd) {
    TempDir noSystemd;
    Environment environment{"ZORVANE_SYSTEMD_ROOT=" + noSystemd.path().string()};
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string output;  // exact when it starts with "\n", else a part
    } cases[] = {
        {{"-x"}, 0, kUsage},
        {{"a", "b"}, 2, "at most one argument"},
        {{"-I"}, 1, "systemd is not running"},
        {{"-u"}, 1, "systemd is not running"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        std::vector<std::string> argv{ZORVANE_SERVICE_PROGRAM};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        ProgramResult result = runProgram(argv, environment);
        EXPECT_EQ(result.exitCode, c.exitCode);
        if (c.output[0] == '\n') {
            EXPECT_EQ(result.output, c.output);
        } else {
            EXPECT_TRUE(contains(result.output, c.output)) << result.output;
        }
    }
    EXPECT_FALSE(fs::exists(noSystemd.path() / "etc"));
}

// A root with systemd's folders and the stand-in systemctl first in PATH.
class FakeSystemd : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(mRoot.path() / "run/systemd/system");
        fs::create_directories(mRoot.path() / "etc/systemd/system");
        fs::create_directories(mRoot.path() / "bin");
        fs::copy_file(ZORVANE_FAKE_SYSTEMCTL, mRoot.path() / "bin/systemctl");
        fs::permissions(mRoot.path() / "bin/systemctl", fs::perms::owner_all);
    }
    Environment environment() const {
        return {"ZORVANE_SYSTEMD_ROOT=" + mRoot.path().string(),
                "PATH=" + mRoot.file("bin") + ":" + std::getenv("PATH")};
    }
    std::string unitFile() const { return mRoot.file(std::string("etc/systemd/system/") + kUnit); }
    std::string calls() const { return readFile(mRoot.file("fake/calls")); }
    ProgramResult run(const char* argument) {
        return runProgram({ZORVANE_SERVICE_PROGRAM, argument}, environment());
    }

    TempDir mRoot;
};

TEST_F(FakeSystemd, InstallWritesEnablesStartsAndUninstallUndoes) {
    ProgramResult install = run("-i");
    EXPECT_EQ(install.exitCode, 0);
    EXPECT_EQ(install.output, "Service Installed\nService Running...\n");
    std::string unit = readFile(unitFile());
    for (const std::string& line : {
             std::string("Description=Zorvane Internet Filter Service\n"),
             "ExecStart=\"" + fs::canonical(ZORVANE_SERVICE_PROGRAM).string() + "\"\n",
             std::string("Restart=on-failure\n"),
             std::string("RestartSec=100ms\n"),
             std::string("WantedBy=multi-user.target\n"),
         }) {
        EXPECT_TRUE(contains(unit, line)) << line << unit;
    }
    EXPECT_EQ(calls(), std::string("daemon-reload\nenable ") + kUnit + "\nstart " + kUnit +
                           "\nis-active --quiet " + kUnit + "\n");

    ProgramResult again = run("-i");
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(contains(again.output, "already installed")) << again.output;

    writeFile(mRoot.file("fake/calls"), "");
    ProgramResult uninstall = run("-U");
    EXPECT_EQ(uninstall.exitCode, 0);
    EXPECT_EQ(uninstall.output, "Stopping service...\nService Uninstalled\n");
    EXPECT_FALSE(fileExists(unitFile()));
    EXPECT_EQ(calls(), std::string("is-active --quiet ") + kUnit + "\nstop " + kUnit +
                           "\ndisable " + kUnit + "\ndaemon-reload\n");

    ProgramResult absent = run("-u");
    EXPECT_EQ(absent.exitCode, 0);
    EXPECT_EQ(absent.output, "");
}

TEST(LinuxServicePaths, CreatesNestedFoldersAndOpensOnlyANewRunFolder) {
    TempDir dir;
    fs::create_directory(dir.path() / "shared");
    fs::permissions(dir.path() / "shared", fs::perms::owner_all);
    ScopedEnvironment data("ZORVANE_DATA_DIR", dir.file("a/b/data"));
    ScopedEnvironment temp("ZORVANE_TEMP_DIR", dir.file("shared"));
    ScopedEnvironment run("ZORVANE_RUN_DIR", dir.file("c/run"));
    mode_t oldMask = umask(077);
    ServicePaths paths = ServicePathsBuilder::build();
    umask(oldMask);

    EXPECT_EQ(paths.settingsPath, dir.file("a/b/data") + "/zorvane.cred");
    EXPECT_EQ(paths.logPath, dir.file("shared") + "/zorvane_service.log");
    EXPECT_EQ(paths.runDir, dir.file("c/run") + "/");
    EXPECT_TRUE(fs::is_directory(dir.path() / "a/b/data"));
    // Every local user must reach the sockets, whatever the umask.
    EXPECT_EQ(fs::status(dir.path() / "c/run").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    // An existing folder of the service's own gets the service's mode back.
    EXPECT_EQ(fs::status(dir.path() / "shared").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    EXPECT_TRUE(paths.folderNotes.empty());
}

TEST(LinuxServicePaths, ASharedFolderIsRefusedNotMoved) {
    TempDir dir;
    fs::create_directory(dir.path() / "tmp");
    fs::permissions(dir.path() / "tmp", fs::perms::all | fs::perms::sticky_bit);
    ScopedEnvironment data("ZORVANE_DATA_DIR", dir.file("data"));
    ScopedEnvironment temp("ZORVANE_TEMP_DIR", dir.file("tmp"));
    ScopedEnvironment run("ZORVANE_RUN_DIR", dir.file("run"));
    ServicePaths paths = ServicePathsBuilder::build();

    EXPECT_TRUE(fs::is_directory(dir.path() / "tmp"));
    EXPECT_EQ(paths.tempDir, "");
    EXPECT_EQ(paths.logPath, "");
    EXPECT_EQ(paths.updateInstallerPath, "");
    EXPECT_EQ(paths.settingsPath, dir.file("data") + "/zorvane.cred");
    ASSERT_EQ(paths.folderNotes.size(), 1u);
    EXPECT_EQ(paths.folderNotes[0], dir.file("tmp") + " is shared by everybody. " +
                                        dir.file("tmp") + " refused.");
}

TEST(LinuxSystemdUnit, ExecStartKeepsEveryCharacterOfThePath) {
    std::string text = LinuxSystemd::unitFileText("d", "/opt/a dir/%i$HOME\"q\\b");
    EXPECT_TRUE(contains(text, "\nExecStart=\"/opt/a dir/%%i$$HOME\\\"q\\\\b\"\n")) << text;
}

}  // namespace

TEST(LinuxDaemon, ServesTheDesktopChannelAndSurvivesBadClients) {
    DaemonRoot root;
    fs::create_directories(root.folder("data"));
    writeFile(root.folder("data") + "zorvane.cred", kUiScenarioSettings);
    writeFile(root.folder("data") + "zorvane_cloud.conf", kUiScenarioCloudConfig);
    ChildProcess daemon({ZORVANE_SERVICE_PROGRAM}, root.environment());
    ASSERT_TRUE(root.logShows("waiting for UI command\n")) << root.log();
    const std::string socketPath = root.folder("run") + "zorvane_pipe";
    struct stat status {};
    ASSERT_EQ(stat(socketPath.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666u);  // every local user may connect

    {
        Deadline deadline(45, [&] { kill(daemon.pid(), SIGKILL); });
        runUiScenario({[&] { return std::make_unique<LinuxPipeClient>(socketPath); },
                       [&] { return root.log(); }});
        ASSERT_FALSE(deadline.expired()) << "a read hung; the daemon was killed";
    }
    EXPECT_EQ(daemon.waitForExit(0), -2);  // still running
    kill(daemon.pid(), SIGTERM);
    EXPECT_EQ(daemon.waitForExit(3000), 0);
}

// The Linux notifier's places in the run folder, and the real stand-in
// notifier program receiving the service's notices.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zorvane_bytes.h"
#include "LinuxNotifier.h"
#include "NotifierProgram.h"
#include "commands/NotifyCommand.h"
#include "settings/Settings.h"
#include "TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

template <typename Condition>
bool waitFor(Condition condition, int timeoutMs = 10000) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(LinuxNotifierPlaces, SocketForEveryoneAndASharedStickyUserFolder) {
    TempDir run;
    setenvForTest("ZORVANE_RUN_DIR", run.path().string().c_str());
    const std::string notify = run.file("notify");
    const mode_t oldMask = ::umask(077);
    {
        LinuxNotifier notifier;
        EXPECT_EQ(modeOf(notify), 01777u);
        EXPECT_EQ(modeOf(run.file("zorvane_notifier_cmd_pipe")), 0666u);
        EXPECT_EQ(notifier.commandSocketPath(), run.file("zorvane_notifier_cmd_pipe"));
    }
    // A folder left narrower is opened up again.
    ::chmod(notify.c_str(), 0700);
    { LinuxNotifier notifier; }
    EXPECT_EQ(modeOf(notify), 01777u);
    ::umask(oldMask);

    // Something else in its place is never opened to everybody.
    fs::remove(notify);
    fs::create_directory(run.path() / "elsewhere");
    fs::permissions(run.path() / "elsewhere", fs::perms::owner_all);
    fs::create_directory_symlink(run.path() / "elsewhere", notify);
    LogWatch log;
    { LinuxNotifier notifier; }
    EXPECT_EQ(modeOf(run.file("elsewhere")), 0700u);
    EXPECT_TRUE(log.saw("is not a folder of the service"));
    setenvForTest("ZORVANE_RUN_DIR", nullptr);
}

// A program in the background with its output in files; killed if still
// running at the end.
class BackgroundProgram {
public:
    BackgroundProgram(const TempDir& dir, const std::string& name, std::vector<std::string> args,
                      const std::vector<std::string>& environment)
        : mOut(dir.file(name + ".out")), mErr(dir.file(name + ".err")) {
        std::vector<std::string> env(environment);
        for (char** entry = environ; *entry; ++entry) {
            env.push_back(*entry);  // the first of a name wins
        }
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : env) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, mOut.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, mErr.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            mPid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BackgroundProgram() {
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
        }
    }

    bool serving() const {
        return waitFor([&] { return err().find("serving") != std::string::npos || ended(); }) &&
               err().find("serving") != std::string::npos;
    }
    // Its exit code once it ended within `timeoutMs`, else -1.
    int exitCode(int timeoutMs) {
        int status = 0;
        if (mPid <= 0 ||
            !waitFor([&] { return ::waitpid(mPid, &status, WNOHANG) == mPid; }, timeoutMs)) {
            return -1;
        }
        mPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return readFile(mOut); }
    std::string err() const { return readFile(mErr); }

private:
    // Without reaping it, so exitCode still sees its status.
    bool ended() const {
        siginfo_t info{};
        return mPid > 0 &&
               ::waitid(P_PID, static_cast<id_t>(mPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == mPid;
    }

    std::string mOut;
    std::string mErr;
    pid_t mPid = -1;
};

// The real zorvane_notifier.
class NotifierProgram : public BackgroundProgram {
public:
    NotifierProgram(const TempDir& dir, const std::string& name, std::vector<std::string> args,
                    const std::vector<std::string>& environment)
        : BackgroundProgram(dir, name, withProgram(std::move(args)), environment) {}

private:
    static std::vector<std::string> withProgram(std::vector<std::string> args) {
        args.insert(args.begin(), ZORVANE_NOTIFIER_PROGRAM);
        return args;
    }
};

std::vector<char> notice(int code, uint32_t child, const std::string& data) {
    std::vector<char> record(8 + data.size());
    StoreLe32(record.data(), static_cast<uint32_t>(code));
    StoreLe32(record.data() + 4, child);
    std::memcpy(record.data() + 8, data.data(), data.size());
    return record;
}

int execute(const std::vector<char>& record) {
    NotifyCommand command(record.data(), static_cast<int>(record.size()));
    return command.execute()->getStatus();
}

class ZorvaneNotifierProgram : public testing::Test {
protected:
    void SetUp() override {
        setenvForTest("ZORVANE_RUN_DIR", run.path().string().c_str());
        LinuxNotifier::instance();
        const std::string sid = "S-1-22-1-" + std::to_string(::geteuid());
        Settings::instance()->populateUserMapFromString(String(sid + ", 3\n"));
        fs::create_directory(dir.path() / "bin");
    }
    void TearDown() override {
        Settings::instance()->populateUserMapFromString("\n");
        LinuxNotifier::cleanUp();
        setenvForTest("ZORVANE_RUN_DIR", nullptr);
    }

    // A notify-send that runs `body` (sh) after noting its arguments.
    void fakeNotifySend(const std::string& body) {
        const std::string path = dir.file("bin/notify-send");
        // One write per line: helpers run side by side and must not interleave.
        writeFile(path, "#!/bin/sh\nline=''\nfor a in \"$@\"; do line=\"$line$a|\"; done\n"
                        "printf '%s\\n' \"$line\" >> \"" +
                            dir.file("desktop.log") + "\"\n" + body + "\n");
        fs::permissions(path, fs::perms::owner_all);
    }
    std::vector<std::string> desktopEnvironment() const {
        return {"PATH=" + dir.file("bin") + ":/usr/bin:/bin",
                "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"};
    }

    TempDir run;
    TempDir dir;
};

TEST_F(ZorvaneNotifierProgram, PrintsRecordsAndShowsEachNoticeAndAnswersStatusChecks) {
    fakeNotifySend("exit 0");
    NotifierProgram program(dir, "notifier", {"--record", dir.file("record.txt"), "--count", "3"},
                            desktopEnvironment());
    ASSERT_TRUE(program.serving()) << program.err();

    // A second notifier of the same user is refused, the first keeps serving.
    NotifierProgram second(dir, "second", {"--no-desktop"}, {});
    EXPECT_EQ(second.exitCode(10000), 1);
    EXPECT_NE(second.err().find("cannot serve " + run.file("notify/S-1-22-1-")), std::string::npos)
        << second.err();

    EXPECT_EQ(Notifier::instance()->status(), 1);
    EXPECT_EQ(Notifier::instance()->getCurrentChildId(), 3u);
    EXPECT_EQ(execute(notice(1, 3, std::string("example.org\0", 12))), COMMAND_SUCCESS);
    EXPECT_EQ(execute(notice(3, 3, std::string("2.2\0", 4))), COMMAND_SUCCESS);
    EXPECT_EQ(execute(notice(5, 0, std::string("\x93\x01\0\0\x01\0\0\0", 8))), COMMAND_SUCCESS);
    EXPECT_EQ(program.exitCode(10000), 0);

    const std::string lines =
        "site blocked: example.org\n"
        "new version: 2.2\n"
        "sign-in failure: code 403 (background)\n";
    EXPECT_EQ(program.out(), lines);
    EXPECT_EQ(readFile(dir.file("record.txt")), lines);
    ASSERT_TRUE(waitFor([&] {
        const std::string log = readFile(dir.file("desktop.log"));
        return std::count(log.begin(), log.end(), '\n') >= 3;
    }));
    // The helpers run side by side: any order.
    std::vector<std::string> shown;
    std::istringstream log(readFile(dir.file("desktop.log")));
    for (std::string line; std::getline(log, line);) {
        shown.push_back(line);
    }
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown,
              (std::vector<std::string>{
                  "--app-name=Zorvane|Zorvane filter|new version: 2.2|",
                  "--app-name=Zorvane|Zorvane filter|sign-in failure: code 403 (background)|",
                  "--app-name=Zorvane|Zorvane filter|site blocked: example.org|",
              }));
    // Its channel is gone with it.
    EXPECT_EQ(Notifier::instance()->sendNotification(4, "\x04\0\0\0", 3), 2);
}

TEST_F(ZorvaneNotifierProgram, AHangingDesktopHelperHoldsNothingUp) {
    // The helper notes its pid and never ends on its own.
    fakeNotifySend("echo $$ >> \"" + dir.file("helpers") + "\"\nexec sleep 60");
    NotifierProgram program(dir, "notifier", {"--count", "2"}, desktopEnvironment());
    ASSERT_TRUE(program.serving()) << program.err();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(execute(notice(4, 0, "")), COMMAND_SUCCESS);
    EXPECT_EQ(execute(notice(1, 3, std::string("a.example\0", 10))), COMMAND_SUCCESS);
    EXPECT_EQ(program.exitCode(10000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(program.out(), "filter servers down\nsite blocked: a.example\n");
    // The helpers outlived the program; end them.
    auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
    ASSERT_TRUE(waitFor([&] { return lines(readFile(dir.file("helpers"))) >= 2; }));
    std::istringstream pids(readFile(dir.file("helpers")));
    for (pid_t pid; pids >> pid;) {
        ::kill(pid, SIGKILL);
    }
}

TEST_F(ZorvaneNotifierProgram, WithoutADesktopSessionNothingIsShown) {
    fakeNotifySend("exit 0");
    std::vector<std::string> environment = desktopEnvironment();
    environment.back() = "DBUS_SESSION_BUS_ADDRESS=";
    NotifierProgram program(dir, "notifier", {"--count", "1"}, environment);
    ASSERT_TRUE(program.serving()) << program.err();
    EXPECT_EQ(execute(notice(4, 0, "")), COMMAND_SUCCESS);
    EXPECT_EQ(program.exitCode(10000), 0);
    EXPECT_EQ(program.out(), "filter servers down\n");
    EXPECT_FALSE(fileExists(dir.file("desktop.log")));
}

TEST(LinuxServiceNotifierWiring, TheDaemonServesTheCommandSocketAndChecksTheNotifiers) {
    TempDir root;
    const std::vector<std::string> folders = {"ZORVANE_DATA_DIR=" + root.file("data"),
                                              "ZORVANE_TEMP_DIR=" + root.file("temp"),
                                              "ZORVANE_RUN_DIR=" + root.file("run")};
    BackgroundProgram daemon(root, "daemon", {ZORVANE_SERVICE_PROGRAM}, folders);
    const std::string log = root.file("temp/zorvane_service.log");
    auto logged = [&](const std::string& text) {
        return waitFor([&] {
            return (readFile(root.file("temp/zorvane_service1.log")) + readFile(log)).find(text) !=
                   std::string::npos;
        });
    };
    ASSERT_TRUE(logged("waiting for notifier command\n")) << readFile(log);
    EXPECT_EQ(modeOf(root.file("run/notify")), 01777u);
    EXPECT_EQ(modeOf(root.file("run/zorvane_notifier_cmd_pipe")), 0666u);
    EXPECT_TRUE(logged("before WinNotifier::instance()\n"));
    EXPECT_TRUE(logged("after WinNotifier::instance()\n"));
    EXPECT_TRUE(logged("Service::checkNotifierThreadStatus\n"));
    EXPECT_TRUE(logged("Service::checkNotifierStatus\n"));

    // The program's request reaches the daemon's notifier reader.
    NotifierProgram version(root, "version", {"version", "--timeout", "2"}, {folders[2]});
    EXPECT_TRUE(logged("WinNotifier::waitForCommand len 4\n"));
    EXPECT_TRUE(logged("CommandFactory command 773\n"));
    EXPECT_EQ(version.exitCode(10000), NOTIFIER_EXIT_OK);
}

}  // namespace

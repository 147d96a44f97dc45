// The Linux notifier's places in the run folder, and the real stand-in
// notifier program receiving the service's notices.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
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

struct Owner {
    uid_t uid;
    mode_t mode;
    std::string type;  // "folder", "link", "socket", "file", "missing"
};

Owner ownerOf(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return {0, 0, "missing"};
    }
    const std::string type = S_ISDIR(info.st_mode)    ? "folder"
                             : S_ISLNK(info.st_mode)  ? "link"
                             : S_ISSOCK(info.st_mode) ? "socket"
                                                      : "file";
    return {info.st_uid, info.st_mode & 07777, type};
}

// A socket file at `path` (no longer served) owned by `uid`.
void plantSocket(const std::string& path, uid_t uid) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    ::close(fd);
    ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0);
}

void plantFolder(const fs::path& path, uid_t uid, mode_t mode) {
    fs::create_directories(path);
    ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

const uid_t kUser1 = 61001;
const uid_t kUser2 = 61002;
const uid_t kUser3 = 61003;
std::string sidOf(uid_t uid) { return "S-1-22-1-" + std::to_string(uid); }

class LinuxNotifierPlaces : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to give folders to other users";
        }
        setenvForTest("ZORVANE_RUN_DIR", run.path().string().c_str());
        oldMask = ::umask(077);
    }
    void TearDown() override {
        ::umask(oldMask);
        Settings::instance()->populateUserMapFromString("\n");
        setenvForTest("ZORVANE_RUN_DIR", nullptr);
    }
    // The service's notifier made, then its status check run with users 1 and 2 mapped.
    void serviceChecks() {
        LinuxNotifier notifier;
        EXPECT_EQ(modeOf(run.file("zorvane_notifier_cmd_pipe")), 0666u);
        Settings::instance()->populateUserMapFromString(
            String(sidOf(kUser1) + ", 3\n" + sidOf(kUser2) + ", 4\n"));
        notifier.status();
    }
    void expectUserFolders() {
        const Owner notify = ownerOf(run.file("notify"));
        EXPECT_EQ(notify.type, "folder");
        EXPECT_EQ(notify.uid, 0u);
        EXPECT_EQ(notify.mode, 0755u);
        for (uid_t uid : {kUser1, kUser2}) {
            const Owner folder = ownerOf(run.file("notify/" + sidOf(uid)));
            EXPECT_EQ(folder.type, "folder") << uid;
            EXPECT_EQ(folder.uid, uid);
            EXPECT_EQ(folder.mode, 0700u) << uid;
        }
    }

    TempDir run;
    mode_t oldMask = 0;
};

TEST_F(LinuxNotifierPlaces, TheServiceMakesARootFolderWithAClosedFolderPerUser) {
    serviceChecks();
    expectUserFolders();
    // The map's users only: an unmapped test user has none.
    EXPECT_EQ(ownerOf(run.file("notify/" + sidOf(kUser3))).type, "missing");

    // A user who opened their folder up gets it closed again, contents kept.
    const std::string own = run.file("notify/" + sidOf(kUser1));
    ASSERT_EQ(::chmod(own.c_str(), 0777), 0);
    plantSocket(own + "/notifier", kUser1);
    serviceChecks();
    expectUserFolders();
    EXPECT_EQ(ownerOf(own + "/notifier").type, "socket");
}

TEST_F(LinuxNotifierPlaces, WhatOthersPlantedInTheOldSharedFolderIsRemovedWithoutFollowingLinks) {
    const fs::path notify = run.path() / "notify";
    plantFolder(notify, 0, 01777);
    // Another user's folder under user 1's name, with a socket of theirs in it.
    plantFolder(notify / sidOf(kUser1), kUser3, 0755);
    plantSocket((notify / sidOf(kUser1) / "notifier").string(), kUser3);
    // A link under user 2's name to a folder that must stay as it is.
    plantFolder(run.path() / "elsewhere", 0, 0700);
    writeFile(run.file("elsewhere/keep"), "kept");
    fs::create_directory_symlink(run.path() / "elsewhere", notify / sidOf(kUser2));
    // An old-style socket of an unmapped user, and a stray file.
    plantSocket((notify / sidOf(kUser3)).string(), kUser3);
    writeFile((notify / "stray").string(), "x");

    LogWatch log;
    serviceChecks();
    expectUserFolders();
    EXPECT_EQ(ownerOf((notify / sidOf(kUser1) / "notifier").string()).type, "missing");
    EXPECT_EQ(ownerOf((notify / sidOf(kUser3)).string()).type, "missing");
    EXPECT_EQ(ownerOf((notify / "stray").string()).type, "missing");
    EXPECT_EQ(readFile(run.file("elsewhere/keep")), "kept");
    EXPECT_EQ(ownerOf(run.file("elsewhere")).mode, 0700u);
    // Left: the folders of the mapped and the listed accounts, each its user's.
    for (const auto& entry : fs::directory_iterator(notify)) {
        const std::string name = entry.path().filename().string();
        ASSERT_EQ(name.rfind("S-1-22-1-", 0), 0u) << name;
        EXPECT_EQ(ownerOf(entry.path().string()).uid, std::stoul(name.substr(9))) << name;
        EXPECT_EQ(ownerOf(entry.path().string()).type, "folder") << name;
    }
}

TEST_F(LinuxNotifierPlaces, AnythingButTheServicesFolderInItsPlaceIsMovedAsideUntouched) {
    const fs::path notify = run.path() / "notify";
    plantFolder(run.path() / "elsewhere", 0, 0700);
    writeFile(run.file("elsewhere/keep"), "kept");
    struct Case {
        const char* what;
        std::function<void()> plant;
    } cases[] = {
        {"a link to a folder", [&] { fs::create_directory_symlink(run.path() / "elsewhere", notify); }},
        {"a file", [&] { writeFile(notify.string(), "x"); }},
        {"another user's folder", [&] { plantFolder(notify, kUser3, 0777); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(c.plant());
        LogWatch log;
        serviceChecks();
        EXPECT_TRUE(log.saw("notify is not a folder of the service"));
        expectUserFolders();
        EXPECT_EQ(readFile(run.file("elsewhere/keep")), "kept");
        EXPECT_EQ(ownerOf(run.file("elsewhere")).mode, 0700u);
        fs::remove_all(notify);
    }
    // Nothing of them is left beside it.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(run.path())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"elsewhere"}));
}

// A server on `path` run by this (root) test: never the user's notifier.
class RootServer {
public:
    explicit RootServer(const std::string& path) {
        mFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound = ::bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::listen(mFd, 4) == 0;
    }
    ~RootServer() { ::close(mFd); }
    // Whether a connection came (it is closed at once).
    bool connected() {
        int client = ::accept(mFd, nullptr, nullptr);
        if (client < 0) {
            return false;
        }
        ::close(client);
        return true;
    }
    bool bound = false;

private:
    int mFd = -1;
};

TEST_F(LinuxNotifierPlaces, AServerThatIsNotTheUserIsNeverSentAnythingNorMadeCurrent) {
    LinuxNotifier notifier;
    Settings::instance()->populateUserMapFromString(String(sidOf(kUser1) + ", 3\n"));
    ASSERT_EQ(notifier.status(), 0);  // makes the folder; nobody serves it yet
    const std::string folder = run.file("notify/" + sidOf(kUser1));
    const std::string socket = folder + "/notifier";
    const std::string elsewhere = run.file("other-socket");

    struct Case {
        const char* what;
        std::string served;         // where the root server listens
        std::function<void()> then;  // what turns it into the attack
        const char* logged;
    } cases[] = {
        {"a socket file that is not the user's", socket, [] {}, "is not a socket of the user"},
        {"the user's socket file served by root", socket,
         [&] { ASSERT_EQ(::lchown(socket.c_str(), kUser1, kUser1), 0); },
         "is served by uid 0, not the user"},
        {"a link to a socket of the user's served by root", elsewhere,
         [&] {
             ASSERT_EQ(::lchown(elsewhere.c_str(), kUser1, kUser1), 0);
             ASSERT_EQ(::symlink(elsewhere.c_str(), socket.c_str()), 0);
             ASSERT_EQ(::lchown(socket.c_str(), kUser1, kUser1), 0);
         },
         "is not a socket of the user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RootServer server(c.served);
        ASSERT_TRUE(server.bound);
        ASSERT_NO_FATAL_FAILURE(c.then());
        LogWatch log;
        EXPECT_EQ(notifier.status(), 0);
        EXPECT_EQ(notifier.getCurrentChildId(), 0u);
        EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 2);
        EXPECT_TRUE(log.saw(c.logged)) << c.logged;
        EXPECT_EQ(log.count("connected to notifier\n"), 0);
        if (c.served == elsewhere) {
            EXPECT_FALSE(server.connected()) << "the link was followed";
        }
        ::unlink(socket.c_str());
        ::unlink(elsewhere.c_str());
    }
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

    // A notify-send that runs `body` (sh) after noting its arguments. The
    // helpers run side by side: each call notes them in a file of its own,
    // so no two calls can mix their lines.
    void fakeNotifySend(const std::string& body) {
        const std::string path = dir.file("bin/notify-send");
        fs::create_directory(dir.path() / "shown");
        writeFile(path, "#!/bin/sh\nline=''\nfor a in \"$@\"; do line=\"$line$a|\"; done\n"
                        "printf '%s\\n' \"$line\" > \"$(mktemp '" +
                            dir.file("shown") + "/call.XXXXXX')\"\n" + body + "\n");
        fs::permissions(path, fs::perms::owner_all);
    }
    // The lines the calls of the helper noted so far, sorted; a file still
    // being written (no line end yet) is not counted.
    std::vector<std::string> shown() const { return finishedLines(dir.path() / "shown"); }
    static std::vector<std::string> finishedLines(const fs::path& folder) {
        std::vector<std::string> lines;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            const std::string text = readFile(entry.path().string());
            if (!text.empty() && text.back() == '\n') {
                lines.push_back(text.substr(0, text.size() - 1));
            }
        }
        std::sort(lines.begin(), lines.end());
        return lines;
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
    // The helpers run side by side: any order.
    ASSERT_TRUE(waitFor([&] { return shown().size() >= 3; }));
    EXPECT_EQ(shown(),
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
    fs::create_directory(dir.path() / "helpers");
    fakeNotifySend("echo $$ > \"" + dir.file("helpers") + "/$$\"\nexec sleep 60");
    NotifierProgram program(dir, "notifier", {"--count", "2"}, desktopEnvironment());
    ASSERT_TRUE(program.serving()) << program.err();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(execute(notice(4, 0, "")), COMMAND_SUCCESS);
    EXPECT_EQ(execute(notice(1, 3, std::string("a.example\0", 10))), COMMAND_SUCCESS);
    EXPECT_EQ(program.exitCode(10000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(program.out(), "filter servers down\nsite blocked: a.example\n");
    // The helpers outlived the program; end them.
    ASSERT_TRUE(waitFor([&] { return finishedLines(dir.path() / "helpers").size() >= 2; }));
    for (const std::string& pid : finishedLines(dir.path() / "helpers")) {
        ::kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
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
    EXPECT_TRUE(shown().empty());
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
    EXPECT_EQ(modeOf(root.file("run/notify")), 0755u);
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

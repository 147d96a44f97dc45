#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "LinuxNotifier.h"
#include "LinuxNotifyFolders.h"
#include "TestSupport.h"
#include "UserNotifiers.h"

extern char** environ;

namespace {

constexpr uid_t kFirstTestUid = 61000;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

template <typename Condition>
bool waitFor(Condition condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

struct UserNotifiers::Place {
    TempDir runDir;
};

struct UserNotifiers::User {
    pid_t pid = -1;
    std::string out;
    std::string err;

    ~User() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

UserNotifiers::UserNotifiers() : mPlace(std::make_unique<Place>()) {
    // Every test user must reach the run folder; the notify folder inside and
    // the users' folders in it are the service's to create.
    ::chmod(mPlace->runDir.path().c_str(), 0755);
    setenvForTest("ZORVANE_RUN_DIR", mPlace->runDir.path().string().c_str());
    LinuxNotifier::instance();
}

UserNotifiers::~UserNotifiers() {
    mUsers.clear();
    LinuxNotifier::cleanUp();
    setenvForTest("ZORVANE_RUN_DIR", nullptr);
}

std::string UserNotifiers::unavailable() {
    return ::geteuid() == 0 ? std::string() : "needs root to run notifiers as other users";
}

String UserNotifiers::sidOf(unsigned n) {
    return String("S-1-22-1-" + std::to_string(kFirstTestUid + n));
}

bool UserNotifiers::start(const String& sid) {
    const uid_t uid = static_cast<uid_t>(std::stoul(sid.substr(sid.rfind('-') + 1)));
    // The user's folder, as the service makes it for a listed or mapped user
    // (the test users are neither yet).
    if (!LinuxNotifyFolders::prepare({sid})) {
        return false;
    }
    auto user = std::make_unique<User>();
    user->out = mPlace->runDir.file("out-" + std::to_string(uid));
    user->err = mPlace->runDir.file("err-" + std::to_string(uid));
    int out = ::open(user->out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = ::open(user->err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::string program = ZORVANE_NOTIFIER_PROGRAM;
    std::string noDesktop = "--no-desktop";
    char* argv[] = {program.data(), noDesktop.data(), nullptr};
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only system calls here: the test program has other threads.
        if (::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0 ||
            ::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
            ::_exit(120);
        }
        ::execve(argv[0], argv, environ);
        ::_exit(121);
    }
    ::close(out);
    ::close(err);
    if (pid < 0) {
        return false;
    }
    user->pid = pid;
    const std::string errPath = user->err;
    bool serving = waitFor([&] {
        return readFile(errPath).find("serving") != std::string::npos ||
               ::waitpid(pid, nullptr, WNOHANG) == pid;
    });
    serving = serving && readFile(errPath).find("serving") != std::string::npos;
    if (!serving) {
        user->pid = -1;  // it ended on its own
        return false;
    }
    mUsers[sid] = std::move(user);
    return true;
}

void UserNotifiers::stop(const String& sid) {
    mUsers.erase(sid);
}

std::vector<std::string> UserNotifiers::shown(const String& sid, size_t count) {
    auto found = mUsers.find(sid);
    if (found == mUsers.end()) {
        return {};
    }
    const std::string path = found->second->out;
    waitFor([&] { return linesOf(readFile(path)).size() >= count; });
    return linesOf(readFile(path));
}

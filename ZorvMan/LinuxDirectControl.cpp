#include "LinuxDirectControl.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

extern char** environ;

namespace {

// The program this watchdog started last and has not reaped yet, and how
// the last one it reaped ended. Kept across steps: each step connects anew.
pid_t startedChild = -1;
int lastExitStatus = 0;

String canonical(const String& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? String(resolved) : String();
}

// Collects the started program once it ended, so it leaves no zombie.
void reapStartedChild() {
    int status = 0;
    if (startedChild > 0 && ::waitpid(startedChild, &status, WNOHANG) == startedChild) {
        // As a shell tells them: a kill by signal N is 128 + N.
        lastExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        startedChild = -1;
    }
}

// A live process of this user running `program` (a resolved path); 0 when
// there is none. Another user's copy of the program does not count.
pid_t findProcess(const String& program) {
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        return 0;
    }
    pid_t found = 0;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) {
            continue;
        }
        String folder = String("/proc/") + entry->d_name;
        struct stat owner {};
        char exe[PATH_MAX];
        ssize_t length = ::readlink((folder + "/exe").c_str(), exe, sizeof exe - 1);
        if (length <= 0 || ::stat(folder.c_str(), &owner) != 0 || owner.st_uid != ::geteuid()) {
            continue;
        }
        if (String(exe, static_cast<int>(length)) == program) {
            found = static_cast<pid_t>(pid);
            break;
        }
    }
    ::closedir(proc);
    return found;
}

class LinuxDirectControlImpl : public ServiceControl {
public:
    LinuxDirectControlImpl(String serviceName, String programPath)
        : mServiceName(std::move(serviceName)), mProgramPath(std::move(programPath)) {}

    bool openService(const String& name, int& error) override {
        mOpen = false;
        struct stat program {};
        if (name != mServiceName || ::stat(mProgramPath.c_str(), &program) != 0 ||
            !S_ISREG(program.st_mode) || ::access(mProgramPath.c_str(), X_OK) != 0) {
            error = ENOENT;
            return false;
        }
        mOpen = true;
        return true;
    }

    bool queryStatus(ServiceStatusInfo& status, int& error) override {
        if (!mOpen) {
            error = ENOENT;
            return false;
        }
        reapStartedChild();
        status.state = running() ? SERVICE_STATE_RUNNING : SERVICE_STATE_STOPPED;
        status.win32ExitCode = 0;
        status.serviceSpecificExitCode = lastExitStatus;
        return true;
    }

    bool startService(int& error) override {
        if (!mOpen) {
            error = ENOENT;
            return false;
        }
        reapStartedChild();
        if (running()) {
            return true;
        }
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // Its own session, so it outlives the watchdog; and none of the
        // signals the watchdog's threads block stays blocked in it.
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigfillset(&defaults);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
        }
        std::vector<char*> argv{const_cast<char*>(mProgramPath.c_str()), nullptr};
        pid_t pid = 0;
        int failed =
            ::posix_spawn(&pid, mProgramPath.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (failed != 0) {
            error = failed;
            return false;
        }
        startedChild = pid;
        return true;
    }

    bool stopService(int& error) override {
        pid_t pid = mOpen ? findProcess(canonical(mProgramPath)) : 0;
        if (pid == 0 || ::kill(pid, SIGTERM) != 0) {
            error = pid == 0 ? ESRCH : errno;
            return false;
        }
        return true;
    }

private:
    bool running() const {
        String program = canonical(mProgramPath);
        return !program.empty() && findProcess(program) != 0;
    }

    String mServiceName;
    String mProgramPath;
    bool mOpen = false;
};

}  // namespace

namespace LinuxDirectControl {

std::unique_ptr<ServiceControl> connect(const String& serviceName, const String& programPath) {
    return std::make_unique<LinuxDirectControlImpl>(serviceName, programPath);
}

}  // namespace LinuxDirectControl

#include "LinuxProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

std::vector<std::string> mergedEnvironment(const Environment& extra) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& added : extra) {
            replaced = replaced || added.compare(0, name.size(), name) == 0;
        }
        if (!replaced) {
            merged.push_back(text);
        }
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

pid_t spawn(const std::vector<std::string>& argv, const Environment& extra, int outputFd) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(extra);
    std::vector<char*> argPointers = pointers(args);
    std::vector<char*> envPointers = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
    }
    // The test program may block signals; the child starts with none blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, args[0].c_str(), &actions, &attributes, argPointers.data(),
                             envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

// fork and exec as another user: posix_spawn cannot change the user. Only
// system calls run in the child, since the test program has other threads.
pid_t spawnAs(const std::vector<std::string>& argv, const Environment& extra, int outputFd,
              RunAs user) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(extra);
    std::vector<char*> argPointers = pointers(args);
    std::vector<char*> envPointers = pointers(env);
    sigset_t none;
    sigemptyset(&none);
    pid_t pid = fork();
    if (pid == 0) {
        if ((outputFd >= 0 &&
             (dup2(outputFd, STDOUT_FILENO) < 0 || dup2(outputFd, STDERR_FILENO) < 0)) ||
            setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) {
            _exit(120);
        }
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argPointers[0], argPointers.data(), envPointers.data());
        _exit(121);
    }
    if (pid < 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

pid_t start(const std::vector<std::string>& argv, const Environment& extra, int outputFd,
            RunAs user) {
    return user.given() ? spawnAs(argv, extra, outputFd, user) : spawn(argv, extra, outputFd);
}

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const Environment& extra,
                         RunAs user, int timeoutMs) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    pid_t pid = start(argv, extra, fds[1], user);
    close(fds[1]);
    ProgramResult result;
    char block[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (timeoutMs > 0) {
            pollfd entry{fds[0], POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) == 0) {
                kill(pid, SIGKILL);
                break;
            }
        }
        ssize_t got = read(fds[0], block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        result.output.append(block, static_cast<size_t>(got));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = exitCodeOf(status);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& extra,
                           RunAs user, const std::string& outputPath) {
    int output = -1;
    if (!outputPath.empty()) {
        output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (output < 0) {
            throw std::runtime_error("cannot open " + outputPath);
        }
    }
    try {
        mPid = start(argv, extra, output, user);
    } catch (...) {
        if (output >= 0) {
            close(output);
        }
        throw;
    }
    if (output >= 0) {
        close(output);
    }
}

ChildProcess::~ChildProcess() {
    if (mPid > 0) {
        kill(mPid, SIGKILL);
        waitpid(mPid, nullptr, 0);
    }
}

char ChildProcess::state() const {
    std::ifstream in("/proc/" + std::to_string(mPid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');  // the name may hold spaces
    return end == std::string::npos || end + 2 >= text.size() ? '?' : text[end + 2];
}

int ChildProcess::waitForExit(int timeoutMs) {
    int status = 0;
    bool ended = eventually([&] { return waitpid(mPid, &status, WNOHANG) == mPid; }, timeoutMs);
    if (!ended) {
        return -2;
    }
    mPid = -1;
    return exitCodeOf(status);
}

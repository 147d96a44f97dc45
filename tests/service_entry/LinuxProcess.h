#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <string>
#include <vector>

// "NAME=value" entries added to (or replacing those of) this process's
// environment for a child.
using Environment = std::vector<std::string>;

struct ProgramResult {
    int exitCode = -1;   // -1 when the program did not exit normally
    std::string output;  // standard output and error
};

// Who a child runs as: this process's user unless a uid is given (the
// child then drops root for that user and group, without supplementary groups).
struct RunAs {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    bool given() const { return uid != static_cast<uid_t>(-1); }
};

// Runs `argv` to its end with its output captured. With `timeoutMs` above 0
// a program still running then is killed (exit code -1).
ProgramResult runProgram(const std::vector<std::string>& argv, const Environment& extra = {},
                         RunAs user = {}, int timeoutMs = 0);

// A program running in the background, killed if still alive at the end.
class ChildProcess {
public:
    // With `outputPath`, standard output and error go to that file.
    ChildProcess(const std::vector<std::string>& argv, const Environment& extra, RunAs user = {},
                 const std::string& outputPath = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return mPid; }
    // The state letter of /proc/<pid>/stat ('S', 'R', 'T' for stopped, ...).
    char state() const;
    // Waits up to `timeoutMs` for the end; its exit code, -1 after a signal,
    // -2 when it is still running.
    int waitForExit(int timeoutMs);

private:
    pid_t mPid = -1;
};

// Sets an environment variable (in this process) for a scope's length.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : mName(name) {
        const char* old = std::getenv(name);
        mHad = old != nullptr;
        mOld = old ? old : "";
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (mHad) {
            setenv(mName, mOld.c_str(), 1);
        } else {
            unsetenv(mName);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* mName;
    bool mHad;
    std::string mOld;
};

// Polls `condition` every 20 ms for up to `timeoutMs`.
template <typename Condition>
bool eventually(Condition condition, int timeoutMs = 10000);

#include <chrono>
#include <thread>

template <typename Condition>
bool eventually(Condition condition, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

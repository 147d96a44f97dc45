#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

extern char** environ;

// One filter host process on a control socket of its own, logging everything
// (its SID map is dumped after each change); ended with the object.
class HostProcess {
public:
    HostProcess(const char* program, const std::string& socket, const std::string& log,
                std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {
            program, "--socket", socket, "--log", log, "--log-level", "0", "--packet-path", "off"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&mPid, program, nullptr, nullptr, argv.data(), environ) != 0) {
            mPid = -1;
            return;
        }
        for (int i = 0; i < 500 && !socketAccepts(socket); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~HostProcess() { stop(); }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool running() const { return mPid > 0; }
    void stop() {
        if (mPid > 0) {
            kill(mPid, SIGTERM);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
    }

private:
    pid_t mPid = -1;
};

// The SID lines of the host's last map dump, in its order.
inline std::vector<std::string> lastDumpedSids(const std::string& log) {
    std::vector<std::string> sids;
    const size_t at = log.rfind("WinUser Map DUMP");
    if (at == std::string::npos) {
        return sids;
    }
    const std::string dump = log.substr(at, log.find("#### end", at) - at);
    static const std::regex sidLine("sid - ([^\n]*)\n");
    for (auto it = std::sregex_iterator(dump.begin(), dump.end(), sidLine);
         it != std::sregex_iterator(); ++it) {
        sids.push_back((*it)[1]);
    }
    return sids;
}

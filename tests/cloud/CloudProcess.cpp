#include "CloudProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

pid_t spawnCloud(const std::vector<std::string>& arguments, const std::string& outputPath) {
    std::vector<std::string> words{ZORVANE_CLOUD_PROGRAM};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " +
                                 std::strerror(error));
    }
    return pid;
}

// The exit code, -1 after a signal, -2 while still running after `timeoutMs`.
int waitFor(pid_t pid, int timeoutMs) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (waited >= timeoutMs) {
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

CloudProcess::CloudProcess(const std::string& workDir, const std::string& dataFile,
                           const std::vector<std::string>& extraArguments)
    : mWorkDir(workDir) {
    std::filesystem::create_directories(mWorkDir);
    const std::string portFile = mWorkDir + "/ports";
    ::unlink(portFile.c_str());  // a restart must not read the old ports
    std::vector<std::string> arguments{"--state",       mWorkDir + "/state",
                                       "--http-port",   "any",
                                       "--https-port",  "any",
                                       "--port-file",   portFile,
                                       "--log",         requestLogPath(),
                                       "--filter-port", "any"};
    if (!dataFile.empty()) {
        arguments.insert(arguments.end(), {"--data", dataFile});
    }
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    mPid = spawnCloud(arguments, mWorkDir + "/output.log");

    for (int waited = 0; waited < 10000; waited += 20) {
        std::ifstream ports(portFile);
        if (ports) {
            std::string key;
            std::string value;
            while (ports >> key >> value) {
                if (key == "http") {
                    mHttpPort = std::stoi(value);
                } else if (key == "https") {
                    mHttpsPort = std::stoi(value);
                } else if (key == "filter") {
                    mFilterPort = std::stoi(value);
                } else if (key == "certificate") {
                    mCertificate = value;
                }
            }
            return;
        }
        int exitCode = waitFor(mPid, 0);
        if (exitCode != -2) {
            mPid = -1;
            throw std::runtime_error("zorvane_cloud ended with " + std::to_string(exitCode) + ": " +
                                     output());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    throw std::runtime_error("zorvane_cloud did not start: " + output());
}

CloudProcess::~CloudProcess() {
    stop();
}

std::string CloudProcess::connectionUrl() const {
    if (mHttpsPort == 0) {
        return plainConnectionUrl();
    }
    return "https://127.0.0.1:" + std::to_string(mHttpsPort) + "/cgi-bin/connection";
}

std::string CloudProcess::plainConnectionUrl() const {
    return "http://127.0.0.1:" + std::to_string(mHttpPort) + "/cgi-bin/connection";
}

std::vector<std::string> CloudProcess::serviceEnvironment() const {
    std::vector<std::string> environment{"ZORVANE_CONNECTION_URL=" + connectionUrl(),
                                         "ZORVANE_CONNECTION_URL_FALLBACK=" + connectionUrl()};
    if (!mCertificate.empty()) {
        environment.push_back("ZORVANE_CA_FILE=" + mCertificate);
    }
    return environment;
}

std::string CloudProcess::output() const {
    return readText(mWorkDir + "/output.log");
}

int CloudProcess::stop() {
    if (mPid < 0) {
        return mExitCode;
    }
    ::kill(mPid, SIGTERM);
    mExitCode = waitFor(mPid, 5000);
    if (mExitCode == -2) {
        ::kill(mPid, SIGKILL);
        mExitCode = waitFor(mPid, -1);
    }
    mPid = -1;
    return mExitCode;
}

int CloudProcess::runToEnd(const std::vector<std::string>& arguments, std::string& output) {
    char path[] = "/tmp/zorvane-cloud-output-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0) {
        throw std::runtime_error("cannot create a temporary file");
    }
    ::close(fd);
    pid_t pid = spawnCloud(arguments, path);
    int exitCode = waitFor(pid, 10000);
    if (exitCode == -2) {
        ::kill(pid, SIGKILL);
        waitFor(pid, -1);
    }
    output = readText(path);
    ::unlink(path);
    return exitCode;
}

#include "HostileSystem.h"

#include <sys/stat.h>

#include <filesystem>

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void HostileSystem::SetUp() {
    const std::string why = LocalUsers::unavailable();
    if (!why.empty()) {
        GTEST_SKIP() << "skipped: " << why;
    }
    mUsers = std::make_unique<LocalUsers>(2);
    mRoot = std::make_unique<TempDir>();
    // The users reach the sockets through here, as through /run.
    ::chmod(root().c_str(), 0755);
    fs::create_directories(runDir());
    ::chmod(runDir().c_str(), 0755);
    mFilter = std::make_unique<ChildProcess>(
        std::vector<std::string>{ZORVANE_FILTER_PROGRAM, "--socket", runDir() + "ZorvaneFilter",
                                 "--log", root() + "/filter.log", "--log-level", "0"},
        Environment{});
    ASSERT_TRUE(eventually([&] { return socketAccepts(runDir() + "ZorvaneFilter"); }));
    mCloud = std::make_unique<CloudProcess>(root() + "/cloud");
}

void HostileSystem::TearDown() {
    mService.reset();
    mCloud.reset();
    mFilter.reset();
    mRoot.reset();
    mUsers.reset();
}

void HostileSystem::useSharedTempParent() {
    fs::create_directories(sharedParent());
    ::chmod(sharedParent().c_str(), 01777);
    mTempDir = sharedParent() + "zorvane/";
}

Environment HostileSystem::serviceEnvironment() const {
    return Environment{"ZORVANE_DATA_DIR=" + dataDir(),
                       "ZORVANE_TEMP_DIR=" + tempDir(),
                       "ZORVANE_RUN_DIR=" + runDir(),
                       "ZORVANE_CONNECTION_URL=" + mCloud->connectionUrl(),
                       "ZORVANE_CONNECTION_URL_FALLBACK=" + mCloud->connectionUrl()};
}

void HostileSystem::startService(const Environment& extra) {
    Environment environment = serviceEnvironment();
    environment.insert(environment.end(), extra.begin(), extra.end());
    mService = std::make_unique<ChildProcess>(std::vector<std::string>{ZORVANE_SERVICE_PROGRAM},
                                              environment);
    // Until the first pass of checks is over: its sign-in check, without an
    // account yet, switches filtering off.
    ASSERT_TRUE(eventually([&] {
        return contains(serviceLog(), "Service::manageZorvManService() ret") &&
               socketAccepts(uiSocket());
    })) << serviceLog();
}

std::string HostileSystem::serviceLog() const {
    return readFile(tempDir() + "zorvane_service1.log") + readFile(logPath());
}

ProgramResult HostileSystem::ctl(const std::vector<std::string>& args, const std::string& input,
                                 RunAs user, int timeoutMs) {
    static int inputs = 0;
    const std::string inputPath = root() + "/ctl-input-" + std::to_string(inputs++);
    writeFile(inputPath, input);
    ::chmod(inputPath.c_str(), 0644);
    std::string command = "exec \"$0\"";
    for (size_t i = 0; i < args.size(); ++i) {
        command += " \"$" + std::to_string(i + 1) + "\"";
    }
    command += " < '" + inputPath + "'";
    std::vector<std::string> argv{"/bin/sh", "-c", command, ZORVANECTL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, Environment{"ZORVANE_RUN_DIR=" + runDir()}, user, timeoutMs);
}

bool HostileSystem::parentSetsMap(const std::string& map) {
    const std::string mapPath = root() + "/map.txt";
    writeFile(mapPath, map);
    ProgramResult result = ctl({"set-map", "--user", kParent, mapPath},
                               std::string(kParentPassword) + "\n");
    EXPECT_EQ(result.exitCode, 0) << result.output << "\n" << serviceLog();
    return result.exitCode == 0;
}

ProgramResult HostileSystem::raw(const LocalUser& user, const std::string& socket,
                                 const std::vector<std::string>& steps, int timeoutMs) {
    std::vector<std::string> argv{ZORVANE_RAW_CLIENT, socket};
    argv.insert(argv.end(), steps.begin(), steps.end());
    return runProgram(argv, {}, as(user), timeoutMs);
}

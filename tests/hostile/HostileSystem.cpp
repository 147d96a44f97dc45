#include "HostileSystem.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
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
                                 "--log", root() + "/filter.log", "--log-level", "0",
                                 "--packet-path", mPacketPath ? "on" : "off"},
        Environment{});
    ASSERT_TRUE(eventually([&] { return socketAccepts(runDir() + "ZorvaneFilter"); }));
    mCloud = std::make_unique<CloudProcess>(root() + "/cloud", mCloudData, mCloudArguments);
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
    Environment environment{"ZORVANE_DATA_DIR=" + dataDir(), "ZORVANE_TEMP_DIR=" + tempDir(),
                            "ZORVANE_RUN_DIR=" + runDir()};
    for (const std::string& setting : mCloud->serviceEnvironment()) {
        environment.push_back(setting);
    }
    return environment;
}

void HostileSystem::startService(const Environment& extra) {
    Environment environment = serviceEnvironment();
    for (const std::string& setting : extra) {
        // A setting given here replaces the fixture's of the same name.
        const std::string name = setting.substr(0, setting.find('=') + 1);
        environment.erase(std::remove_if(environment.begin(), environment.end(),
                                         [&](const std::string& own) {
                                             return own.compare(0, name.size(), name) == 0;
                                         }),
                          environment.end());
        environment.push_back(setting);
    }
    // The first check pass's background sign-in turns filtering off while no
    // user is mapped; a sign-in of the test racing it would find filtering
    // off again when it stores a map. The log may hold earlier runs.
    const auto backgroundSignIns = [&] {
        const std::string log = serviceLog();
        return countOf(log, "Service::doCheck() succeeded 1\n") +
               countOf(log, "Service::doCheck() failed 1\n");
    };
    const int before = backgroundSignIns();
    std::vector<std::string> argv = mServicePrefix;
    argv.push_back(ZORVANE_SERVICE_PROGRAM);
    mService = std::make_unique<ChildProcess>(argv, environment);
    ASSERT_TRUE(eventually([&] {
        return backgroundSignIns() > before && contains(serviceLog(), "waiting for UI command") &&
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
    ProgramResult result =
        ctl({"set-map", "--user", kParent, mapPath}, std::string(kParentPassword) + "\n");
    EXPECT_EQ(result.exitCode, 0) << result.output << "\n" << serviceLog();
    return result.exitCode == 0;
}

ProgramResult HostileSystem::raw(const LocalUser& user, const std::string& socket,
                                 const std::vector<std::string>& steps, int timeoutMs) {
    std::vector<std::string> argv{ZORVANE_RAW_CLIENT, socket};
    argv.insert(argv.end(), steps.begin(), steps.end());
    return runProgram(argv, {}, as(user), timeoutMs);
}

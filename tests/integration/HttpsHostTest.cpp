// Host questions end to end: the test build of the filter host queues them
// as the kernel filter would, the real service asks the stand-in cloud over
// TLS and its verdicts reach the filter host.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CComand.h"
#include "CReply.h"
#include "CService.h"
#include "CloudProcess.h"
#include "LinuxPipeClient.h"
#include "LinuxProcess.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Alice (101) has her own answers for two hosts; Ben's (102) session has
// expired until the parent's account signs in again.
const char kCloudData[] = R"({ "zorvane_version": "2",
    "https_filter": { "1": { "block": ["games.example"] } },
    "accounts": [ { "user": "parent", "password": "parent123", "children": [
      { "id": 101, "name": "Alice", "level": 1, "session_key": "k101",
        "hosts": { "held.example": 3, "odd.example": "no comma" } },
      { "id": 102, "name": "Ben", "level": 1, "session_key": "k102",
        "session_expired": true } ] } ] })";

class HttpsHostSystem : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(mDir.file("run"));
        writeFile(mDir.file("passwd"), "root:x:0:0:root:/root:/bin/bash\n");
        writeFile(mDir.file("shadow"), "root:$6$salt$hash:19000:0:99999:7:::\n");
        writeFile(mDir.file("cloud.json"), kCloudData);
        mCloud = std::make_unique<CloudProcess>(mDir.file("cloud"), mDir.file("cloud.json"));
        // The account and its children are stored once; every later start
        // of the service finds them.
        startFilter({});
        startService();
        CAuthCommand request("parent", "parent123");
        std::unique_ptr<CReply> reply = request.execute(*mClient);
        ASSERT_NE(reply, nullptr);
        ASSERT_EQ(reply->number(CReply::kKeyAnswer), 1u);
        // A mapped user: without one the service has no reason to sign in.
        reply = CSetWinZorvUserMapCommand("S-1-22-1-0, 102\n").execute(*mClient);
        ASSERT_NE(reply, nullptr);
        stopService();
    }

    // The filter host, with host questions (child, host) queued for the
    // service's first read.
    void startFilter(const std::vector<std::pair<int, std::string>>& questions) {
        mFilter.reset();
        // A log of its own per start: nothing of the last host's shows.
        mFilterLog = mDir.file("filter" + std::to_string(++mFilterStarts) + ".log");
        std::vector<std::string> argv{ZORVANE_TEST_FILTER_PROGRAM,
                                      "--socket",
                                      mDir.file("run/ZorvaneFilter"),
                                      "--log",
                                      mFilterLog,
                                      "--log-level",
                                      "0"};
        for (const auto& question : questions) {
            argv.push_back("--queue");
            argv.push_back("2:" + std::to_string(question.first) + ":" + question.second);
        }
        mFilter = std::make_unique<ChildProcess>(argv, Environment{});
        ASSERT_TRUE(eventually([&] { return socketAccepts(mDir.file("run/ZorvaneFilter")); }));
    }

    void startService() {
        Environment environment{
            "ZORVANE_DATA_DIR=" + mDir.file("data"), "ZORVANE_TEMP_DIR=" + mDir.file("temp"),
            "ZORVANE_RUN_DIR=" + mDir.file("run"), "ZORVANE_PASSWD_FILE=" + mDir.file("passwd"),
            "ZORVANE_SHADOW_FILE=" + mDir.file("shadow")};
        for (const std::string& setting : mCloud->serviceEnvironment()) {
            environment.push_back(setting);
        }
        mService = std::make_unique<ChildProcess>(std::vector<std::string>{ZORVANE_SERVICE_PROGRAM},
                                                  environment);
        ASSERT_TRUE(eventually([&] { return contains(serviceLog(), "waiting for UI command"); }))
            << serviceLog();
        mClient = std::make_unique<CService>(
            std::make_unique<LinuxPipeClient>(mDir.file("run/zorvane_pipe")));
    }

    void stopService() {
        mClient.reset();
        mService.reset();
    }

    // Restarts the service against a filter host holding `questions`, and
    // waits until the filter host took `answers` verdicts.
    void ask(const std::vector<std::pair<int, std::string>>& questions, int answers) {
        stopService();
        ASSERT_NO_FATAL_FAILURE(startFilter(questions));
        mLogStart = serviceLog().size();
        mCloudLogStart = cloudLog().size();
        ASSERT_NO_FATAL_FAILURE(startService());
        ASSERT_TRUE(eventually([&] {
            return occurrences(filterLog(), "ZORVANE_IOCTL_HTTPS_BLOCKED called") >= answers;
        })) << filterLog();
    }

    std::string serviceLog() const {
        return readFile(mDir.file("temp/zorvane_service1.log")) +
               readFile(mDir.file("temp/zorvane_service.log"));
    }
    std::string newServiceLog() const { return serviceLog().substr(mLogStart); }
    std::string filterLog() const { return readFile(mFilterLog); }
    std::string cloudLog() const { return readFile(mCloud->requestLogPath()); }
    std::string newCloudLog() const { return cloudLog().substr(mCloudLogStart); }

    TempDir mDir;
    std::unique_ptr<CloudProcess> mCloud;
    std::unique_ptr<ChildProcess> mFilter;
    std::unique_ptr<ChildProcess> mService;
    std::unique_ptr<CService> mClient;
    std::string mFilterLog;
    int mFilterStarts = 0;
    size_t mLogStart = 0;
    size_t mCloudLogStart = 0;
};

TEST_F(HttpsHostSystem, VerdictsReachTheFilterAndOnlyCacheableOnesAreCached) {
    ASSERT_NO_FATAL_FAILURE(
        ask({{101, "games.example"}, {101, "held.example"}, {101, "odd.example"}}, 3));
    const std::string log = newServiceLog();
    EXPECT_TRUE(contains(log, "HttpsHostCache::updateUrl 101 games.example 1")) << log;
    EXPECT_TRUE(contains(log, "HttpsHostCache::updateUrl 101 odd.example 0")) << log;
    EXPECT_TRUE(contains(log, "WinHttpsHandler::processHostQueue Got response 3")) << log;
    EXPECT_FALSE(contains(log, "updateUrl 101 held.example")) << log;
    EXPECT_EQ(occurrences(newCloudLog(), "GET /zorvane2/filter.php/0"), 3) << newCloudLog();
    EXPECT_TRUE(eventually([&] { return contains(filterLog(), "UpdateHostStatus games.example"); }))
        << filterLog();
}

TEST_F(HttpsHostSystem, CachedHostIsAnsweredWithoutAskingTheCloud) {
    ASSERT_NO_FATAL_FAILURE(ask({{101, "games.example"}}, 1));
    ASSERT_TRUE(contains(newServiceLog(), "HttpsHostCache::updateUrl 101 games.example 1"));
    // The filter host starts again under the running service with the same
    // question; the service reconnects and answers it from its cache.
    const size_t cloudBefore = cloudLog().size();
    const size_t logBefore = serviceLog().size();
    ASSERT_NO_FATAL_FAILURE(startFilter({{101, "games.example"}}));
    ASSERT_TRUE(eventually([&] {
        return contains(filterLog(), "ZORVANE_IOCTL_HTTPS_BLOCKED called");
    })) << filterLog();
    EXPECT_TRUE(eventually([&] {
        return contains(serviceLog(), "HttpsCommand::execute host in cache");
    })) << filterLog();
    const std::string log = serviceLog().substr(logBefore);
    EXPECT_TRUE(contains(log, "HttpsCommand::execute host in cache games.example 1")) << log;
    EXPECT_FALSE(contains(log, "Got a HTTPS request")) << log;
    EXPECT_FALSE(contains(cloudLog().substr(cloudBefore), "GET /zorvane2/filter.php/0"))
        << cloudLog().substr(cloudBefore);
}

TEST_F(HttpsHostSystem, ExpiredSessionIsAskedAgainAndSignsInOnceAfterTheBatch) {
    // The set-up's sign-in renewed Ben's session; the cloud starts again
    // (same state) with it expired.
    const std::string httpPort = std::to_string(mCloud->httpPort());
    const std::string httpsPort = std::to_string(mCloud->httpsPort());
    mCloud.reset();
    // On the same ports: the stored servers stay right.
    mCloud = std::make_unique<CloudProcess>(
        mDir.file("cloud"), mDir.file("cloud.json"),
        std::vector<std::string>{"--http-port", httpPort, "--https-port", httpsPort});
    ASSERT_NO_FATAL_FAILURE(ask({{102, "games.example"}, {102, "other.example"}}, 2));
    ASSERT_TRUE(eventually([&] {
        return contains(newServiceLog(), "HttpsHandler signing in again after an expired session");
    })) << newServiceLog();
    // The service signs in at start as well: the handler's own sign-in is
    // told apart by its log line, and the cloud saw one after the 302.
    ASSERT_TRUE(eventually([&] {
        const std::string cloud = newCloudLog();
        const size_t expired = cloud.find(" 302\n");
        return expired != std::string::npos &&
               cloud.find("/cgi-bin/auth", expired) != std::string::npos;
    })) << newCloudLog();
    const std::string cloud = newCloudLog();
    EXPECT_EQ(occurrences(cloud, " 302\n"), 1) << cloud;
    const std::string log = newServiceLog();
    EXPECT_EQ(occurrences(log, "HttpsHandler signing in again after an expired session"), 1) << log;
    // The expired host is asked again at once, with the header.
    EXPECT_GE(occurrences(log, "skipping authentication"), 1) << log;
    EXPECT_TRUE(contains(log, "HttpsHostCache::updateUrl 102 games.example 1")) << log;
    EXPECT_TRUE(contains(log, "HttpsHostCache::updateUrl 102 other.example 0")) << log;
}

TEST_F(HttpsHostSystem, UnreachableCloudAllowsWithoutCaching) {
    mCloud->stop();
    ASSERT_NO_FATAL_FAILURE(ask({{101, "games.example"}}, 1));
    const std::string log = newServiceLog();
    EXPECT_TRUE(contains(log, "curl error: ")) << log;
    EXPECT_TRUE(contains(log, "WinHttpsHandler::processHostQueue Got response 2")) << log;
    EXPECT_FALSE(contains(log, "HttpsHostCache::updateUrl")) << log;
}

}  // namespace

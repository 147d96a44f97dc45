// The real service program signing in through its desktop channel against
// the stand-in cloud, configuring the real filter host, and telling a
// user's notifier of a refused device.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CComand.h"
#include "CReply.h"
#include "CService.h"
#include "CloudProcess.h"
#include "LinuxDevice.h"
#include "LinuxNotifyFolders.h"
#include "LinuxPipeClient.h"
#include "LinuxProcess.h"
#include "RecordingNotifier.h"
#include "TestSupport.h"
#include "UserNotifierServer.h"

namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Cloud, filter host and service in one temporary folder; the service
// runs as a daemon with every folder moved there.
class SignInSystem : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(mDir.file("run"));
        writeFile(mDir.file("passwd"), "root:x:0:0:root:/root:/bin/bash\n");
        writeFile(mDir.file("shadow"), "root:$6$salt$hash:19000:0:99999:7:::\n");
        mFilter = std::make_unique<ChildProcess>(
            std::vector<std::string>{
                ZORVANE_FILTER_PROGRAM, "--socket", mDir.file("run/ZorvaneFilter"), "--log",
                mDir.file("filter.log"), "--log-level", "0", "--packet-path", "off"},
            Environment{});
        ASSERT_TRUE(eventually([&] { return socketAccepts(mDir.file("run/ZorvaneFilter")); }));
    }

    void startCloud(const std::string& dataFile = "") {
        mCloud = std::make_unique<CloudProcess>(mDir.file("cloud"), dataFile);
    }

    void startService() {
        ASSERT_TRUE(mCloud) << "the service learns the cloud's address at start";
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

    // The sign-in's answer: 1, or the refusal's code.
    uint32_t signIn(const std::string& user, const std::string& password) {
        CAuthCommand request(user, password);
        std::unique_ptr<CReply> reply = request.execute(*mClient);
        EXPECT_NE(reply, nullptr);
        return reply ? reply->number(CReply::kKeyAnswer) : 0xFFFFFFFFu;
    }

    // The log so far, also the part the first check rolled over.
    std::string serviceLog() const {
        return readFile(mDir.file("temp/zorvane_service1.log")) +
               readFile(mDir.file("temp/zorvane_service.log"));
    }
    std::string settingsText() const { return readFile(mDir.file("data/zorvane.cred")); }
    std::string filterLog() const { return readFile(mDir.file("filter.log")); }

    TempDir mDir;
    std::unique_ptr<ChildProcess> mFilter;
    std::unique_ptr<CloudProcess> mCloud;
    std::unique_ptr<ChildProcess> mService;
    std::unique_ptr<CService> mClient;
};

TEST_F(SignInSystem, GoodSignInStoresTheAccountAndConfiguresTheFilter) {
    startCloud();
    ASSERT_NO_FATAL_FAILURE(startService());
    const size_t filterBefore = filterLog().size();
    EXPECT_EQ(signIn("parent", "parent123"), 1u);

    const std::string settings = settingsText();
    // Account with the password's digest and filtering on; the cloud's
    // device id for this device; the three children.
    EXPECT_TRUE(contains(settings, "parent, 460de495837215710a29db07c94180ca, 1\n")) << settings;
    EXPECT_TRUE(std::regex_search(settings, std::regex("\n1001, [0-9a-f]{12}\n"))) << settings;
    for (const char* child : {"101, Alice, 1, ", "102, Ben, 2, ", "103, Cara, 3, "}) {
        EXPECT_TRUE(contains(settings, child)) << settings;
    }
    // The host writes its log on its own threads: wait for the lines.
    for (const char* line :
         {"ExecSetServerAddressCmd", "device id = 1001", "ExecSetCurrentUserCmd"}) {
        EXPECT_TRUE(eventually([&] { return contains(filterLog().substr(filterBefore), line); }))
            << line << "\n"
            << filterLog().substr(filterBefore);
    }
    EXPECT_FALSE(contains(serviceLog(), "parent123"));
}

TEST_F(SignInSystem, GoodSignInWithoutTheFilterStillAnswersOne) {
    startCloud();
    ASSERT_NO_FATAL_FAILURE(startService());
    mFilter.reset();
    EXPECT_EQ(signIn("parent", "parent123"), 1u);
    EXPECT_TRUE(contains(serviceLog(), "Driver Initialization failed")) << serviceLog();
    EXPECT_TRUE(contains(settingsText(), "parent, 460de495837215710a29db07c94180ca, 1\n"));
}

TEST_F(SignInSystem, RefusedAccountsAnswerTheirCodeAndChangeNothing) {
    startCloud();
    ASSERT_NO_FATAL_FAILURE(startService());
    const struct {
        const char* user;
        const char* password;
        uint32_t answer;
    } cases[] = {
        {"parent", "wrong", 403},
        {"nobody", "parent123", 401},
        {"lapsed", "lapsed123", 402},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        EXPECT_EQ(signIn(c.user, c.password), c.answer);
    }
    EXPECT_EQ(settingsText(), "");
    EXPECT_FALSE(contains(filterLog(), "device id = "));
}

TEST_F(SignInSystem, DeviceOfAnotherAccountIsRefusedAndTheUserIsTold) {
    const std::string signature = LinuxDevice::instance()->getDeviceSignature();
    ASSERT_FALSE(signature.empty()) << "this machine has no network adapter to sign with";
    std::string data = readFile(ZORVANE_DEFAULT_CLOUD_DATA);
    data.replace(data.find("02aa00bb00cc"), 12, signature);
    writeFile(mDir.file("cloud.json"), data);
    startCloud(mDir.file("cloud.json"));
    ScopedEnvironment runDir("ZORVANE_RUN_DIR", mDir.file("run"));
    fs::create_directories(mDir.file("run"));
    const String sid("S-1-22-1-" + std::to_string(getuid()));
    // The user's folder, as the service makes it for a listed account.
    ASSERT_TRUE(LinuxNotifyFolders::prepare({sid}));
    RecordingNotifier notifier(sid);
    ASSERT_TRUE(notifier.listening());
    ASSERT_NO_FATAL_FAILURE(startService());

    EXPECT_EQ(signIn("parent", "parent123"), 404u);
    ASSERT_TRUE(eventually([&] { return !notifier.notices().empty(); }));
    EXPECT_TRUE(contains(notifier.notices().front(), "404")) << notifier.notices().front();
    EXPECT_EQ(settingsText(), "");
}

// The cloud's pass reply loses lines on the way: only its status, its
// header lines without any child, or cut after the first child. The
// sign-in answers 200 and the account, children, device id and user map
// stay, in the service and in its settings file; the whole reply passes
// again afterwards.
TEST_F(SignInSystem, PassReplyWithoutAllItsChildrenChangesNothing) {
    startCloud();
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_EQ(signIn("parent", "parent123"), 1u);
    const std::string sid = "S-1-22-1-0";
    CSetWinZorvUserMapCommand setMap(String(sid + ", 102\n"));
    std::unique_ptr<CReply> stored = setMap.execute(*mClient);
    ASSERT_NE(stored, nullptr);
    ASSERT_EQ(stored->status(), 1) << serviceLog();
    const std::string before = settingsText();
    ASSERT_TRUE(contains(before, sid + ", 102\n")) << before;
    ASSERT_TRUE(contains(before, "103, Cara, 3, ")) << before;

    const std::string defaults = readFile(ZORVANE_DEFAULT_CLOUD_DATA);
    const std::string parentLine = "\"user\": \"parent\",";
    ASSERT_NE(defaults.find(parentLine), std::string::npos);
    const std::vector<std::string> samePorts{"--http-port", std::to_string(mCloud->httpPort()),
                                             "--https-port", std::to_string(mCloud->httpsPort())};
    for (int lines : {1, 5, 6}) {
        SCOPED_TRACE("reply cut after " + std::to_string(lines) + " lines");
        std::string data = defaults;
        data.insert(data.find(parentLine) + parentLine.size(),
                    " \"pass_reply_lines\": " + std::to_string(lines) + ",");
        writeFile(mDir.file("cut-cloud.json"), data);
        mCloud.reset();
        mCloud = std::make_unique<CloudProcess>(mDir.file("cloud"), mDir.file("cut-cloud.json"),
                                                samePorts);
        const size_t logBefore = serviceLog().size();
        EXPECT_EQ(signIn("parent", "parent123"), 200u);
        EXPECT_EQ(settingsText(), before);
        const std::string log = serviceLog().substr(logBefore);
        EXPECT_TRUE(contains(log, "Authentication::parseAuthenticationData incomplete reply"))
            << log;
        EXPECT_FALSE(contains(log, "doAuth() local auth")) << log;

        CGetWinZorvUserMapCommand getMap;
        std::unique_ptr<CReply> map = getMap.execute(*mClient);
        ASSERT_NE(map, nullptr);
        EXPECT_TRUE(contains(map->text(CReply::kKeyAnswer), sid + ", 102"))
            << map->text(CReply::kKeyAnswer);
    }

    mCloud.reset();
    mCloud = std::make_unique<CloudProcess>(mDir.file("cloud"), "", samePorts);
    EXPECT_EQ(signIn("parent", "parent123"), 1u);
    EXPECT_TRUE(contains(settingsText(), sid + ", 102\n")) << settingsText();
}

TEST_F(SignInSystem, CloudDownChecksTheStoredAccountLocally) {
    startCloud();
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_EQ(signIn("parent", "parent123"), 1u);
    mCloud->stop();
    EXPECT_EQ(signIn("parent", "parent123"), 1u);
    EXPECT_EQ(signIn("parent", "wrong"), 4u);
}

TEST_F(SignInSystem, CloudDownWithoutAStoredAccount) {
    startCloud();
    ASSERT_NO_FATAL_FAILURE(startService());
    // Known servers but no account: the transfer's failure.
    ASSERT_EQ(signIn("parent", "wrong"), 403u);
    mCloud->stop();
    EXPECT_EQ(signIn("parent", "parent123"), 2u);
}

TEST_F(SignInSystem, CloudNeverReachedAnswersFailed) {
    startCloud();
    mCloud->stop();
    ASSERT_NO_FATAL_FAILURE(startService());
    // No servers known and none reachable.
    EXPECT_EQ(signIn("parent", "parent123"), 0u);
}

}  // namespace

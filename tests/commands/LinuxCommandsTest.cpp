// The profile and mapping commands end to end on Linux: the real UI channel
// served on a thread, the real sign-in against the stand-in cloud, the real
// filter host behind a LinuxDriver, the users' real notifier sockets, and
// the command-line front end.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zorvane_bytes.h"
#include "CComand.h"
#include "CService.h"
#include "cloud/CloudConfig.h"
#include "CloudProcess.h"
#include "commands/CommandFactory.h"
#include "CommandTestSupport.h"
#include "CtlCase.h"
#include "driver/DriverSetup.h"
#include "FilterHostProcess.h"
#include "LinuxDriver.h"
#include "notifier/Notifier.h"
#include "notifier/NotifyCodes.h"
#include "commands/ProfileCommands.h"
#include "TestSupport.h"
#include "LinuxNotifyFolders.h"
#include "UserNotifierServer.h"
#include "ZorvaneCtl.h"

namespace {

// The filter host's driver, made the Driver instance for the commands.
class RegisteredDriver : public LinuxDriver {
public:
    explicit RegisteredDriver(const std::string& socket) : LinuxDriver(String(socket)) {
        registerInstance(this);
    }
};

// The service's notifier over the real per-user sockets, without a command
// channel.
class SocketNotifier : public Notifier {
public:
    SocketNotifier() : Notifier(UserNotifierChannel::create()) { registerInstance(this); }
    ~SocketNotifier() override { registerInstance(nullptr); }
    std::unique_ptr<Command> waitForCommand() override { return nullptr; }
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override {
        response.reset();
        return 0;
    }
};

// One user's notifier program, served on a thread; keeps what arrived.
class UserNotifier {
public:
    explicit UserNotifier(const String& sid) : mServer(UserNotifierServer::create(sid)) {
        int error = 0;
        // The user's folder, as the service makes it for a mapped user.
        LinuxNotifyFolders::prepare({sid});
        mListening = mServer->listen(error);
        if (mListening) {
            mThread = std::thread([this] {
                std::vector<char> message;
                while (!mStopped) {
                    if (mServer->serveOne(message, 1)) {
                        std::lock_guard<std::mutex> lock(mLock);
                        mMessages.push_back(message);
                    }
                }
            });
        }
    }
    ~UserNotifier() {
        mStopped = true;
        mServer->stop();
        if (mThread.joinable()) {
            mThread.join();
        }
    }
    bool listening() const { return mListening; }
    // The messages once `count` have arrived (or after 10 s).
    std::vector<std::vector<char>> waitFor(size_t count) {
        for (int i = 0; i < 2000; ++i) {
            {
                std::lock_guard<std::mutex> lock(mLock);
                if (mMessages.size() >= count) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::lock_guard<std::mutex> lock(mLock);
        return mMessages;
    }

private:
    std::unique_ptr<UserNotifierServer> mServer;
    bool mListening = false;
    std::atomic<bool> mStopped{false};
    std::thread mThread;
    std::mutex mLock;
    std::vector<std::vector<char>> mMessages;
};

std::string mapText() {
    String text;
    commandSettings().getSysZorvUserMap(text);
    return text;
}

class LinuxCommands : public testing::Test {
protected:
    void SetUp() override {
        resetSettings();
        std::filesystem::create_directories(dir.file("run"));
        setenvForTest("ZORVANE_RUN_DIR", dir.file("run").c_str());
        host = std::make_unique<HostProcess>(ZORVANE_FILTER_PATH, dir.file("ZorvaneFilter"),
                                             hostLog());
        ASSERT_TRUE(host->running());
        driver = std::make_unique<RegisteredDriver>(dir.file("ZorvaneFilter"));
    }
    void TearDown() override {
        driver.reset();
        host.reset();
        setenvForTest("ZORVANE_RUN_DIR", nullptr);
        if (cloud) {
            setenvForTest("ZORVANE_CONNECTION_URL", nullptr);
            setenvForTest("ZORVANE_CONNECTION_URL_FALLBACK", nullptr);
            setenvForTest("ZORVANE_CA_FILE", nullptr);
            CloudConfig::install(CloudConfig::load(""));
        }
        resetSettings();
    }

    void startCloud() {
        cloud = std::make_unique<CloudProcess>(dir.file("cloud"));
        setenvForTest("ZORVANE_CONNECTION_URL", cloud->connectionUrl().c_str());
        setenvForTest("ZORVANE_CONNECTION_URL_FALLBACK", cloud->connectionUrl().c_str());
        setenvForTest("ZORVANE_CA_FILE", cloud->certificate().c_str());
        CloudConfig::install(CloudConfig::load(""));
    }

    std::string hostLog() const { return dir.file("filter.log"); }
    // The host's SID map as it dumped it last.
    std::string hostMap() const {
        const std::string text = readFile(hostLog());
        const size_t at = text.rfind("WinUser Map DUMP");
        return at == std::string::npos ? std::string() : text.substr(at);
    }
    static bool mapHas(const std::string& dump, const std::string& sid, uint32_t child) {
        // Each log line carries a time stamp before its text.
        return std::regex_search(
            dump, std::regex("sid - " + sid + "\n[^\n]*childId - " + std::to_string(child) + "\n"));
    }
    // Signs the parent in on `service`'s connection.
    static void signIn(CService& service, const char* password = "parent123") {
        std::unique_ptr<CReply> reply = CAuthCommand("parent", password).execute(service);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->number(CReply::kKeyAnswer), 1u);
    }
    static uint32_t answer(CComand&& command, CService& service) {
        std::unique_ptr<CReply> reply = command.execute(service);
        EXPECT_TRUE(reply);
        return reply ? reply->number(CReply::kKeyAnswer) : 0xFFFFFFFFu;
    }

    TempDir dir;
    UiEndpoint endpoint;
    std::unique_ptr<HostProcess> host;
    std::unique_ptr<RegisteredDriver> driver;
    std::unique_ptr<CloudProcess> cloud;
};

TEST_F(LinuxCommands, ParentMapsUsersOnTheConnectionThatSignedIn) {
    startCloud();
    ServedCommands served(endpoint);
    const std::string map = "S-1-22-1-1000, 101\nS-1-22-1-1001, 102\n";
    {
        CService parent(endpoint.makeClient());
        LogWatch log;
        EXPECT_EQ(answer(CSetWinZorvUserMapCommand(String(map)), parent), 0u);
        EXPECT_TRUE(log.saw("UI command 265 refused - no sign-in on this connection"));
        EXPECT_EQ(mapText(), "");
        EXPECT_EQ(readFile(settingsFile()), "");
        EXPECT_EQ(hostMap().find("S-1-22-1-1000"), std::string::npos);

        signIn(parent);
        EXPECT_EQ(commandSettings().getChildList().size(), 3u);  // the account's profiles
        EXPECT_EQ(answer(CSetWinZorvUserMapCommand(String(map)), parent), 1u);
        EXPECT_EQ(mapText(), map);
        EXPECT_NE(readFile(settingsFile()).find("\n" + map + "\n"), std::string::npos);
        const std::string dump = hostMap();
        EXPECT_TRUE(mapHas(dump, "S-1-22-1-1000", 101)) << dump;
        EXPECT_TRUE(mapHas(dump, "S-1-22-1-1001", 102)) << dump;
    }
    // Somebody else on the same PC, later.
    CService other(endpoint.makeClient());
    const std::string before = readFile(hostLog());
    EXPECT_EQ(answer(CSetWinZorvUserMapCommand("S-1-22-1-1000, 0\n"), other), 0u);
    std::unique_ptr<CReply> reply = CGetWinZorvUserMapCommand().execute(other);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text(CReply::kKeyAnswer), map);
    EXPECT_EQ(readFile(hostLog()), before);
}

TEST_F(LinuxCommands, DisableWithTheRightPasswordLeavesFilteringAsItWas) {
    startCloud();
    ServedCommands served(endpoint);
    CService service(endpoint.makeClient());
    signIn(service);
    ASSERT_TRUE(commandSettings().IsFilterEnabled());

    for (int filtering : {1, 0}) {
        SCOPED_TRACE(filtering ? "module filtering" : "module not filtering");
        ASSERT_EQ(driver->setFilterStatus(filtering), 1);
        const std::string before = readFile(hostLog());
        const std::string saved = readFile(settingsFile());
        EXPECT_EQ(answer(CStatusCommand(), service), static_cast<uint32_t>(filtering));

        EXPECT_EQ(answer(CEnableCommand("parent", "parent123", false), service), 1u);
        EXPECT_EQ(answer(CEnableCommand("parent", "wrong", false), service), 0u);
        EXPECT_EQ(answer(CEnableCommand("parent", "parent123", true), service), 1u);
        EXPECT_EQ(answer(CEnableCommand("parent", "wrong", true), service), 0u);

        EXPECT_EQ(answer(CStatusCommand(), service), static_cast<uint32_t>(filtering));
        EXPECT_TRUE(commandSettings().IsFilterEnabled());
        EXPECT_EQ(readFile(settingsFile()), saved);
        // The host was only asked for its status.
        const std::string after = readFile(hostLog()).substr(before.size());
        EXPECT_EQ(after.find("enable filtering"), std::string::npos) << after;
        EXPECT_EQ(after.find("ExecSetUserCmd"), std::string::npos) << after;
    }
}

TEST_F(LinuxCommands, MapWhileFilteringIsDisabledIsSavedButNotSent) {
    startCloud();
    ServedCommands served(endpoint);
    CService service(endpoint.makeClient());
    signIn(service);
    commandSettings().setFilterEnabled(false);

    LogWatch log;
    EXPECT_EQ(answer(CSetWinZorvUserMapCommand("S-1-22-1-1003, 103\n"), service), 0u);
    EXPECT_TRUE(log.saw("Filter is disabled"));
    EXPECT_EQ(mapText(), "S-1-22-1-1003, 103\n");
    EXPECT_NE(readFile(settingsFile()).find("\nS-1-22-1-1003, 103\n\n"), std::string::npos);
    EXPECT_EQ(hostMap().find("S-1-22-1-1003"), std::string::npos);
}

TEST_F(LinuxCommands, EmptyMapUnmapsTheHostsUsers) {
    startCloud();
    ServedCommands served(endpoint);
    CService service(endpoint.makeClient());
    signIn(service);
    ASSERT_EQ(answer(CSetWinZorvUserMapCommand("S-1-22-1-1000, 101\n"), service), 1u);
    ASSERT_TRUE(mapHas(hostMap(), "S-1-22-1-1000", 101));

    EXPECT_EQ(answer(CSetWinZorvUserMapCommand("\n"), service), 1u);
    EXPECT_EQ(mapText(), "");
    const std::string dump = hostMap();
    EXPECT_EQ(dump.find("S-1-22-1-1000"), std::string::npos) << dump;
}

std::vector<char> serverDownRecord(uint32_t address, uint32_t altAddress, uint16_t port,
                                   uint16_t altPort) {
    // As the driver channel delivers it: the 512-byte read, its head filled.
    std::vector<char> record(512, '\0');
    StoreLe32(record.data(), ZORVANE_READ_ALL_SERVER_DOWN_CMD);
    StoreLe32(record.data() + 8, address);
    StoreLe32(record.data() + 12, altAddress);
    StoreLe16(record.data() + 16, port);
    StoreLe16(record.data() + 18, altPort);
    return record;
}

TEST_F(LinuxCommands, ServerDownReconfiguresAnOutdatedFilterOrTellsEveryUser) {
    auto connection = std::make_shared<ConnectionInfo>();
    connection->setAuthServer("http://127.0.0.1:9/cgi-bin/auth");
    connection->setFilterServer("https://127.0.0.1/zorv");
    connection->setAlternateFilterServer("https://127.0.0.2/zorv1");
    connection->setFilterServerPort(8080);
    connection->setAlternateFilterServerPort(8443);
    commandSettings().setConnectionInfo(connection);

    const String ownSid("S-1-22-1-" + std::to_string(getuid()));
    // Mapped to a child: a notice for child 0 must reach every mapped user.
    commandSettings().populateUserMapFromString(String(ownSid + ", 7\nS-1-22-1-4242424, 3\n"));
    SocketNotifier notifier;
    UserNotifier user(ownSid);
    ASSERT_TRUE(user.listening());

    auto run = [](const std::vector<char>& record) {
        std::unique_ptr<Command> command =
            CommandFactory::create(record.data(), static_cast<int>(record.size()));
        EXPECT_TRUE(command);
        return command ? command->execute() : nullptr;
    };
    const std::string reconfigured = "ExecSetServerAddressCmd 8080,0x7f000001,8443";
    struct Outdated {
        const char* what;
        uint32_t address;
        uint32_t altAddress;
        uint16_t port;
        uint16_t altPort;
    };
    const Outdated outdated[] = {
        {"address", 0x0A000001, 0x7F000002, 8080, 8443},
        {"alternate address", 0x7F000001, 0x0A000002, 8080, 8443},
        {"port", 0x7F000001, 0x7F000002, 80, 8443},
    };
    for (const Outdated& o : outdated) {
        SCOPED_TRACE(o.what);
        const size_t before = readFile(hostLog()).size();
        std::unique_ptr<CommandResponse> response =
            run(serverDownRecord(o.address, o.altAddress, o.port, o.altPort));
        ASSERT_TRUE(response);
        EXPECT_EQ(response->getStatus(), COMMAND_SUCCESS);
        const std::string added = readFile(hostLog()).substr(before);
        EXPECT_NE(added.find(reconfigured), std::string::npos) << added;
    }
    EXPECT_TRUE(user.waitFor(0).empty());

    const size_t before = readFile(hostLog()).size();
    LogWatch log;
    run(serverDownRecord(0x7F000001, 0x7F000002, 8080, 8443));
    const std::vector<std::vector<char>> messages = user.waitFor(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(describeNotification(messages[0]), "filter servers down");
    EXPECT_EQ(readFile(hostLog()).find("ExecSetServerAddressCmd", before), std::string::npos);
    // The other mapped user was tried too; nobody listens there.
    EXPECT_TRUE(
        log.saw("failed to connect to notifier " + dir.file("run") + "/notify/S-1-22-1-4242424"));
}

TEST_F(LinuxCommands, ZorvanectlDrivesTheRealCommands) {
    startCloud();
    ServedCommands served(endpoint);
    const std::vector<CtlCase> cases = {
        {{"status"}, "", 0, "not filtering", ""},
        {{"set-map", "-"}, "S-1-22-1-1002, 103\n", 2, "", "needs --user"},
        {{"set-map", "--user", "parent", "-"}, "wrong\nS-1-22-1-1002, 103\n", 1, "", "code 403"},
        {{"set-map", "--user", "parent", "-"},
         "parent123\nS-1-22-1-1002, 103\n",
         0,
         "User map stored.",
         ""},
        {{"map"}, "", 0, "S-1-22-1-1002, 103\n", ""},
        {{"children"}, "", 0, "101, 1, Alice\n102, 2, Ben\n103, 3, Cara\n", ""},
        {{"n-users"}, "", 0, "child list: 39 bytes\n", ""},
        {{"auth-status"}, "", 0, "signed in\n", ""},
        {{"check-disable", "parent"}, "parent123\n", 0, "Password accepted.", ""},
        {{"check-enable", "parent"}, "nope\n", 1, "", "not accepted"},
        {{"check-enable"}, "", 2, "", "exactly one user name"},
    };
    for (const CtlCase& c : cases) {
        runCtlCase(c, endpoint);
    }
    EXPECT_TRUE(mapHas(hostMap(), "S-1-22-1-1002", 103)) << hostMap();

    // The filter was switched on with a map that filters somebody, and off
    // with one that filters nobody; a filter that is gone is not "off".
    EXPECT_EQ(runCtlCase({{"status"}, "", 0, "", ""}, endpoint), "filtering\n");
    runCtlCase({{"set-map", "--user", "parent", "-"},
                "parent123\nS-1-22-1-1002, 0\n",
                0,
                "User map stored.",
                ""},
               endpoint);
    EXPECT_EQ(runCtlCase({{"status"}, "", 0, "", ""}, endpoint), "not filtering\n");
    host.reset();
    EXPECT_EQ(runCtlCase({{"status"}, "", 1, "", "the filter module does not answer"}, endpoint),
              "");
}

// The SIDs of the host's last map dump in `log`, sorted.
std::vector<std::string> lastDumpedSidsSorted(const std::string& log) {
    std::vector<std::string> sids = lastDumpedSids(log);
    std::sort(sids.begin(), sids.end());
    return sids;
}

// Two parents' map changes and the service's own configuration pass at the
// same time: the filter always ends with one whole map, and no code fails.
TEST_F(LinuxCommands, ConfigurationPassesAtOnceNeverLeaveAMixedMap) {
    storeAccount();
    ChildList children;
    for (uint32_t id : {101u, 102u, 103u}) {
        children[id].setId(id);
        children[id].setLevel(1);
        children[id].setName("child");
        children[id].setSessionKey("key");
    }
    commandSettings().setChildList(children);
    const std::string mapA = "S-1-22-1-1000, 101\nS-1-22-1-1001, 102\nS-1-22-1-1002, 103\n";
    const std::string mapB = "S-1-22-1-2000, 103\nS-1-22-1-2001, 101\nS-1-22-1-2002, 102\n";
    const std::vector<std::string> sidsA = {"S-1-22-1-1000", "S-1-22-1-1001", "S-1-22-1-1002"};
    const std::vector<std::string> sidsB = {"S-1-22-1-2000", "S-1-22-1-2001", "S-1-22-1-2002"};
    auto request = [](const std::string& map) {
        std::vector<char> bytes(4 + map.size() + 1, 0);
        StoreLe32(bytes.data(), UI_READ_SET_SYS_ZORV_USER_MAP_CMD);
        std::copy(map.begin(), map.end(), bytes.begin() + 4);
        return bytes;
    };
    const std::vector<char> requestA = request(mapA);
    const std::vector<char> requestB = request(mapB);
    auto setMap = [](const std::vector<char>& bytes) {
        SetSysZorvUserMapCommand command(bytes.data(), static_cast<int>(bytes.size()));
        std::unique_ptr<CommandResponse> response = command.execute();
        return response ? response->getStatus() : COMMAND_FAILED;
    };

    size_t seen = 0;
    int failures = 0;
    int mixed = 0;
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> ready{0};
        auto whenAllReady = [&ready] {
            ++ready;
            while (ready < 3) {
            }
        };
        int resultB = 0;
        int resultService = 0;
        std::thread other([&] {
            whenAllReady();
            resultB = setMap(requestB);
        });
        std::thread service([&] {
            whenAllReady();
            resultService = DriverSetup::initializeDriver(DriverSetup::Style::SignIn);
        });
        whenAllReady();
        const int resultA = setMap(requestA);
        other.join();
        service.join();
        failures += (resultA != COMMAND_SUCCESS) + (resultB != COMMAND_SUCCESS) + (resultService != 1);

        const std::string log = readFile(hostLog());
        const std::vector<std::string> sids = lastDumpedSidsSorted(log.substr(seen));
        seen = log.size();
        if (sids != sidsA && sids != sidsB) {
            ++mixed;
            ADD_FAILURE() << "round " << round << ": " << ::testing::PrintToString(sids);
        }
        if (mixed > 3) {
            break;
        }
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(mixed, 0);
}

}  // namespace

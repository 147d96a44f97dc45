#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "system/Accounts.h"
#include "zorvane_bytes.h"
#include "settings/FileStore.h"
#include "notifier/Notifier.h"
#include "notifier/NotifyCodes.h"
#include "commands/NotifyCommand.h"
#include "port/ProcessInfo.h"
#include "settings/Settings.h"
#include "TestSupport.h"
#include "UserNotifierServer.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Users' notifiers in memory: who listens, what arrived, which write fails.
class FakeChannel : public UserNotifierChannel {
public:
    struct State {
        std::set<String> listening;
        std::set<String> failWrite;
        std::map<String, uint32_t> answers;
        std::vector<std::pair<String, std::vector<char>>> received;  // sid, message
        std::vector<String> contacted;
    };

    explicit FakeChannel(State& state) : mState(state) {}

    bool connect(const String& sid, int& error) override {
        mState.contacted.push_back(sid);
        if (!mState.listening.count(sid)) {
            error = 2;
            return false;
        }
        mSid = sid;
        mFrame.clear();
        return true;
    }
    bool write(const char* data, uint32_t length, int& error) override {
        if (mState.failWrite.count(mSid)) {
            error = 232;
            return false;
        }
        mFrame.insert(mFrame.end(), data, data + length);
        return true;
    }
    bool read(char* data, uint32_t length, int&) override {
        if (length != 4 || mFrame.size() < 4) {
            return false;
        }
        mState.received.push_back({mSid, std::vector<char>(mFrame.begin() + 4, mFrame.end())});
        StoreLe32(data, mState.answers.count(mSid) ? mState.answers[mSid] : 1);
        return true;
    }
    void close() override { mSid.clear(); }
    String name(const String& sid) const override { return String("fake:" + sid); }

private:
    State& mState;
    String mSid;
    std::vector<char> mFrame;
};

class TestNotifier : public Notifier {
public:
    explicit TestNotifier(std::unique_ptr<UserNotifierChannel> channel)
        : Notifier(std::move(channel)) {
        registerInstance(this);
    }
    ~TestNotifier() override { registerInstance(nullptr); }
    std::unique_ptr<Command> waitForCommand() override { return nullptr; }
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override {
        response.reset();
        return 0;
    }
};

std::vector<char> record(int code, uint32_t child, const std::string& data) {
    std::vector<char> bytes(8 + data.size());
    StoreLe32(bytes.data(), static_cast<uint32_t>(code));
    StoreLe32(bytes.data() + 4, child);
    if (!data.empty()) {
        std::memcpy(bytes.data() + 8, data.data(), data.size());
    }
    return bytes;
}

// The process's settings get the map; "" empties it.
void setUserMap(const char* text) {
    Settings::instance()->populateUserMapFromString(*text ? text : "\n");
}

class NotifierRules : public testing::Test {
protected:
    NotifierRules() : notifier(std::make_unique<FakeChannel>(users)) {}
    ~NotifierRules() override { setUserMap(""); }

    std::vector<String> receivers() const {
        std::vector<String> sids;
        for (const auto& message : users.received) {
            sids.push_back(message.first);
        }
        return sids;
    }

    FakeChannel::State users;
    TestNotifier notifier;
};

TEST_F(NotifierRules, DeliversToTheUsersOfTheChildOrToEverybody) {
    setUserMap("S-a, 3\nS-b, 3\nS-c, 4\n");
    users.listening = {"S-a", "S-b", "S-c"};
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 1);
    EXPECT_EQ(receivers(), (std::vector<String>{"S-a", "S-b"}));

    users.received.clear();
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 0), 1);
    EXPECT_EQ(receivers(), (std::vector<String>{"S-a", "S-b", "S-c"}));
}

TEST_F(NotifierRules, AUserWithoutNotifierIsSkippedAFailedWriteStops) {
    setUserMap("S-a, 3\nS-b, 3\nS-c, 3\n");
    users.listening = {"S-a", "S-c"};
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 1);  // the last delivery's result
    EXPECT_EQ(receivers(), (std::vector<String>{"S-a", "S-c"}));

    users.listening = {"S-a", "S-b"};
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 2);  // nobody at S-c

    users.received.clear();
    users.contacted.clear();
    users.listening = {"S-a", "S-b", "S-c"};
    users.failWrite = {"S-b"};
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 0);
    EXPECT_EQ(users.contacted, (std::vector<String>{"S-a", "S-b"}));
    EXPECT_TRUE(log.saw("notifier write length failed err 232"));
}

TEST_F(NotifierRules, EmptyMapAndAChildSendsNothing) {
    users.listening = {"S-a"};
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 7), 0);
    EXPECT_TRUE(users.contacted.empty());
    EXPECT_TRUE(log.saw("WinNotifier::sendNotification user list empty"));
}

TEST_F(NotifierRules, StatusMakesTheLastAnsweringUsersChildCurrent) {
    LogWatch log;
    EXPECT_EQ(notifier.status(), 0);
    EXPECT_TRUE(log.saw("WinNotifier::status user map is empty!"));

    setUserMap("S-a, 3\nS-b, 4\n");
    users.listening = {"S-a"};
    users.answers["S-a"] = 9;
    EXPECT_EQ(notifier.status(), 9);
    EXPECT_EQ(notifier.getCurrentChildId(), 3u);
    ASSERT_EQ(users.received.size(), 1u);
    EXPECT_EQ(LoadLe32(users.received[0].second.data()), static_cast<uint32_t>(NOTIFY_STATUS_CHECK));

    users.listening = {"S-a", "S-b"};
    users.answers["S-b"] = 5;
    EXPECT_EQ(notifier.status(), 5);
    EXPECT_EQ(notifier.getCurrentChildId(), 4u);
    EXPECT_EQ(Settings::instance()->getCurrentChildId(), 4u);
}

#ifndef _WIN32
TEST_F(NotifierRules, EmptyMapReachesEveryEnabledInteractiveAccount) {
    TempDir dir;
    writeFile(dir.file("passwd"),
              "root:x:0:0:root:/root:/bin/bash\n"
              "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
              "alice:x:1000:1000::/home/alice:/bin/bash\n"
              "bob:x:1001:1001::/home/bob:/bin/bash\n"
              "carl:x:1002:1002::/home/carl:/bin/false\n"
              "nobody:x:65534:65534::/nonexistent:/bin/sh\n");
    writeFile(dir.file("shadow"), "root:$y$hash:1::::::\nalice:$y$h:1::::::\nbob:!$y$h:1::::::\n");
    setenv("ZORVANE_PASSWD_FILE", dir.file("passwd").c_str(), 1);
    setenv("ZORVANE_SHADOW_FILE", dir.file("shadow").c_str(), 1);
    users.listening = {"S-1-22-1-0", "S-1-22-1-1000"};
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 0), 1);
    unsetenv("ZORVANE_PASSWD_FILE");
    unsetenv("ZORVANE_SHADOW_FILE");
    EXPECT_EQ(users.contacted, (std::vector<String>{"S-1-22-1-0", "S-1-22-1-1000"}));
    EXPECT_TRUE(log.saw("WinNotifier::sendNotification Sending to all users"));
}
#else
TEST_F(NotifierRules, AccountsOfThisSystemHaveSids) {
    // Wine reports its one account at guest level, so the list may be empty.
    std::vector<String> sids;
    ASSERT_GE(GetWindowsUserList(sids), 0);
    for (const String& sid : sids) {
        EXPECT_EQ(sid.indexOf("S-1-5-"), 0) << sid;
    }
}
#endif

struct MessageCase {
    const char* label;
    std::vector<char> record;
    uint32_t child;
    std::vector<char> message;  // empty: nothing is delivered
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.label; }

class NotifyCommandMessage : public testing::TestWithParam<MessageCase> {};

std::vector<char> bytesOf(const std::string& text) { return std::vector<char>(text.begin(), text.end()); }

TEST_P(NotifyCommandMessage, BuildsTheNotifierMessage) {
    FakeChannel::State users;
    TestNotifier notifier(std::make_unique<FakeChannel>(users));
    setUserMap("S-a, 3\nS-b, 4\n");
    users.listening = {"S-a", "S-b"};
    const MessageCase& c = GetParam();
    NotifyCommand command(c.record.data(), static_cast<int>(c.record.size()));
    std::unique_ptr<CommandResponse> response = command.execute();
    EXPECT_EQ(command.getChildId(), c.child);
    EXPECT_EQ(response->getArgumentForIndex(1)->asUint32(), LoadLe32(c.record.data()));
    if (c.message.empty()) {
        EXPECT_TRUE(users.contacted.empty());
        EXPECT_EQ(response->getStatus(), COMMAND_FAILED);
    } else {
        ASSERT_FALSE(users.received.empty());
        EXPECT_EQ(users.received[0].second, c.message);
        EXPECT_EQ(users.received.size(), c.child == 0 ? 2u : 1u);
        EXPECT_EQ(response->getStatus(), COMMAND_SUCCESS);
    }
    setUserMap("");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NotifyCommandMessage,
    testing::Values(
        MessageCase{"SiteBlocked", record(1, 3, std::string("blocked.site\0", 13)), 3,
                    bytesOf(std::string("\x01\0\0\0blocked.site\0", 17))},
        MessageCase{"TextWithoutNulStopsAtTheRecordEnd", record(1, 4, "abc"), 4,
                    bytesOf(std::string("\x01\0\0\0abc\0", 8))},
        MessageCase{"ServersDownIsTheCodeAlone", record(4, 0, ""), 0,
                    bytesOf(std::string("\x04\0\0\0", 4))},
        MessageCase{"AuthFailCarriesEightBytes",
                    record(5, 0, std::string("\x91\x01\0\0\x01\0\0\0", 8)), 0,
                    bytesOf(std::string("\x05\0\0\0\x91\x01\0\0\x01\0\0\0", 12))},
        MessageCase{"DriverError", record(6, 0, std::string("\x05\0\0\0", 4)), 0,
                    bytesOf(std::string("\x06\0\0\0\x05\0\0\0", 8))},
        MessageCase{"NoHotspotIsNeverDelivered", record(7, 0, ""), 0, {}},
        MessageCase{"HotspotModeIsNeverDelivered", record(8, 0, ""), 0, {}},
        MessageCase{"NormalModeIsNeverDelivered", record(9, 0, ""), 0, {}},
        MessageCase{"UnknownCode", record(11, 0, "x"), 0, {}},
        MessageCase{"NegativeCode", record(-1, 0, ""), 0, {}}),
    [](const testing::TestParamInfo<MessageCase>& param) { return std::string(param.param.label); });

TEST(NotifyRedirectProcess, NamesTheProcessOrFallsBackToItsNumber) {
    FakeChannel::State users;
    TestNotifier notifier(std::make_unique<FakeChannel>(users));
    users.listening = {"S-a"};
    setUserMap("S-a, 3\n");

    auto redirect = [&](uint32_t pid) {
        users.received.clear();
        std::vector<char> buffer(12);
        StoreLe32(buffer.data(), ZORVANE_READ_NOTIFY_REDIRECT_PID);
        StoreLe32(buffer.data() + 8, pid);
        NotifyRedirectProcessCommand command(buffer.data(), 12);
        std::unique_ptr<CommandResponse> response = command.execute();
        EXPECT_EQ(response->getArgumentForIndex(1)->asUint32(), 10u);
        EXPECT_EQ(response->getStatus(), COMMAND_SUCCESS);
        return users.received.empty() ? std::string()
                                      : std::string(users.received[0].second.begin() + 4,
                                                    users.received[0].second.end());
    };

    EXPECT_EQ(redirect(0), std::string("\0", 1));  // no process: an empty description
    LogWatch log;
    EXPECT_EQ(redirect(2147483632u), std::string("PID - \"2147483632\"\0", 19));
    EXPECT_TRUE(log.saw("NotifyRedirectProcessCommand::execute OpenProcess failed "));

    const unsigned long self = ProcessInfo::currentProcessId();
    std::string named = redirect(static_cast<uint32_t>(self));
    EXPECT_EQ(named.rfind("name \"", 0), 0u) << named;
    EXPECT_NE(named.find("unit_tests"), std::string::npos) << named;
    setUserMap("");
}

// The real channel against the stand-in notifier's server, in this process.
class NotifierTransport : public testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        setenv("ZORVANE_RUN_DIR", runDir.path().string().c_str(), 1);
        ownSid = String("S-1-22-1-" + std::to_string(getuid()));
        otherSid = String("S-1-22-1-" + std::to_string(getuid() + 4242));
#else
        ownSid = String("S-1-5-21-1000-2000-3000-" + std::to_string(GetCurrentProcessId()));
        otherSid = String(ownSid + "1");
#endif
    }
    void TearDown() override {
        setUserMap("");
#ifndef _WIN32
        unsetenv("ZORVANE_RUN_DIR");
#endif
    }

    // Serves `sid` on a thread until the test ends; keeps what arrived.
    struct User {
        explicit User(const String& sid, uint32_t answer) : server(UserNotifierServer::create(sid)) {
            int error = 0;
            listening = server->listen(error);
            if (listening) {
                thread = std::thread([this, answer] {
                    std::vector<char> message;
                    while (!stopped) {
                        if (server->serveOne(message, answer)) {
                            std::lock_guard<std::mutex> lock(mutex);
                            messages.push_back(message);
                        }
                    }
                });
            }
        }
        ~User() {
            stopped = true;
            server->stop();
            if (thread.joinable()) {
                thread.join();
            }
        }
        // The server records a message after it answered: wait for it.
        size_t waitForMessages(size_t count) {
            for (int i = 0; i < 2000; ++i) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (messages.size() >= count) {
                        return messages.size();
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::lock_guard<std::mutex> lock(mutex);
            return messages.size();
        }

        std::unique_ptr<UserNotifierServer> server;
        bool listening = false;
        std::atomic<bool> stopped{false};
        std::thread thread;
        std::mutex mutex;
        std::vector<std::vector<char>> messages;
    };

    TempDir runDir;
    String ownSid;
    String otherSid;
};

TEST_F(NotifierTransport, DeliversOverTheRealChannel) {
    User user(ownSid, 7);
    ASSERT_TRUE(user.listening);
    TestNotifier notifier(UserNotifierChannel::create());
    setUserMap(String(ownSid + ", 3\n").c_str());

    std::vector<char> blocked = record(1, 3, std::string("example.org\0", 12));
    NotifyCommand command(blocked.data(), static_cast<int>(blocked.size()));
    EXPECT_EQ(command.execute()->getStatus(), COMMAND_SUCCESS);
    EXPECT_EQ(notifier.status(), 7);
    EXPECT_EQ(notifier.getCurrentChildId(), 3u);

    ASSERT_EQ(user.waitForMessages(2), 2u);
    std::lock_guard<std::mutex> lock(user.mutex);
    EXPECT_EQ(describeNotification(user.messages[0]), "site blocked: example.org");
    EXPECT_EQ(describeNotification(user.messages[1]), "status check");
}

TEST_F(NotifierTransport, NobodyListeningIsSkipped) {
    TestNotifier notifier(UserNotifierChannel::create());
    setUserMap(String(ownSid + ", 3\n").c_str());
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 2);
    EXPECT_TRUE(log.saw("failed to connect to notifier "));
}

#ifndef _WIN32
TEST_F(NotifierTransport, ANotifierRunByAnotherUserGetsNothing) {
    // A socket named after someone else's SID, served by this user.
    User impostor(otherSid, 1);
    ASSERT_TRUE(impostor.listening);
    TestNotifier notifier(UserNotifierChannel::create());
    setUserMap(String(otherSid + ", 3\n").c_str());
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 2);
    EXPECT_TRUE(log.saw("is served by uid"));
    std::lock_guard<std::mutex> lock(impostor.mutex);
    EXPECT_TRUE(impostor.messages.empty());
}
#endif

TEST(NotifierCommandAnswer, PayloadsByCommand) {
    auto answer = [](std::vector<std::pair<int, ArgumentBlock>> arguments) {
        CommandResponse response;
        for (auto& argument : arguments) {
            response.setArgument(argument.first, std::move(argument.second));
        }
        std::vector<char> payload = Notifier::commandAnswer(response);
        return std::string(payload.begin(), payload.end());
    };
    // Status 4 with version "2.1": L = 4, 16 bytes.
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(768)},
                      {2, ArgumentBlock::fromUint32(4)},
                      {4, ArgumentBlock::fromText("2.1")}}),
              std::string("\x00\x03\0\0\x04\0\0\0\x04\0\0\0" "2.1\0", 16));
    // A newer version: path;version;information.
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(768)},
                      {2, ArgumentBlock::fromUint32(5)},
                      {4, ArgumentBlock::fromText("C:\\t\\setup.exe")},
                      {6, ArgumentBlock::fromText("2.2")},
                      {8, ArgumentBlock::fromText("fixes")}}),
              std::string("\x00\x03\0\0\x05\0\0\0\x19\0\0\0" "C:\\t\\setup.exe;2.2;fixes\0", 37));
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(769)}, {2, ArgumentBlock::fromUint32(1)}}),
              std::string("\x01\x03\0\0\x01\0\0\0", 8));
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(770)},
                      {2, ArgumentBlock::fromUint32(120)},
                      {3, ArgumentBlock::fromUint32(8000)}}),
              std::string("\x02\x03\0\0\x78\0\0\0\x40\x1f\0\0", 12));
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(773)},
                      {2, ArgumentBlock::fromUint32(6)},
                      {3, ArgumentBlock(std::string("2.1.0\0", 6).data(), 6)}}),
              std::string("\x05\x03\0\0" "2.1.0\0", 10));
    // A length larger than the text is not trusted.
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(773)},
                      {2, ArgumentBlock::fromUint32(600)},
                      {3, ArgumentBlock::fromText("2.1")}}).size(),
              7u);
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(771)}}), "");
}

}  // namespace

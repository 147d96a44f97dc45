// Delivery of notices by the service's notifier to real stand-in notifiers
// of several users, over the platform's per-user channels.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "system/Accounts.h"
#include "zorvane_bytes.h"
#include "NotifierPlatform.h"
#include "NotifierProgram.h"
#include "commands/NotifyCommand.h"
#include "settings/Settings.h"
#include "TestSupport.h"
#include "UserNotifiers.h"

namespace {

using Lines = std::vector<std::string>;

const char kServersDown[4] = {4, 0, 0, 0};

class NotifierDelivery : public testing::Test {
protected:
    void SetUp() override {
        std::string why = UserNotifiers::unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        users = std::make_unique<UserNotifiers>();
    }
    void TearDown() override {
        Settings::instance()->populateUserMapFromString("\n");
        users.reset();
    }

    static void mapUsers(const std::vector<std::pair<String, int>>& entries) {
        String text;
        for (const auto& entry : entries) {
            text += entry.first + ", " + std::to_string(entry.second) + "\n";
        }
        ASSERT_TRUE(Settings::instance()->populateUserMapFromString(text));
    }

    // A notice built and executed the way the service's own senders do.
    static int notify(int code, uint32_t child, const std::string& data) {
        std::vector<char> record(8 + data.size());
        StoreLe32(record.data(), static_cast<uint32_t>(code));
        StoreLe32(record.data() + 4, child);
        std::memcpy(record.data() + 8, data.data(), data.size());
        NotifyCommand command(record.data(), static_cast<int>(record.size()));
        return command.execute()->getStatus();
    }

    std::unique_ptr<UserNotifiers> users;
    const String first = UserNotifiers::sidOf(1);
    const String second = UserNotifiers::sidOf(2);
    const String third = UserNotifiers::sidOf(3);
};

TEST_F(NotifierDelivery, ReachesTheUsersOfTheChildAndSkipsAnAbsentNotifier) {
    for (const String& sid : {first, second, third}) {
        ASSERT_TRUE(users->start(sid)) << sid;
    }
    mapUsers({{first, 3}, {second, 3}, {third, 4}});

    LogWatch toChild3;
    EXPECT_EQ(notify(1, 3, std::string("example.org\0", 12)), COMMAND_SUCCESS);
    EXPECT_EQ(toChild3.count("connected to notifier\n"), 2);
    EXPECT_EQ(users->shown(first, 1), Lines{"site blocked: example.org"});
    EXPECT_EQ(users->shown(second, 1), Lines{"site blocked: example.org"});

    LogWatch toEverybody;
    EXPECT_EQ(notify(4, 0, ""), COMMAND_SUCCESS);
    EXPECT_EQ(toEverybody.count("connected to notifier\n"), 3);
    EXPECT_EQ(users->shown(third, 1), Lines{"filter servers down"});  // only the child-0 notice
    EXPECT_EQ(users->shown(first, 2).back(), "filter servers down");

    // The middle user's notifier is gone: the others still get the notice,
    // and the result is that of the last delivery.
    users->stop(second);
    LogWatch withoutMiddle;
    EXPECT_EQ(users->serviceNotifier().sendNotification(4, kServersDown, 0), 1);
    EXPECT_EQ(withoutMiddle.count("connected to notifier\n"), 2);
    EXPECT_TRUE(withoutMiddle.saw("failed to connect to notifier "));
    EXPECT_EQ(users->shown(first, 3).size(), 3u);
    EXPECT_EQ(users->shown(third, 2).size(), 2u);

    // Nobody listening for the last user: 2.
    users->stop(third);
    EXPECT_EQ(users->serviceNotifier().sendNotification(4, kServersDown, 0), 2);
    EXPECT_EQ(users->shown(first, 4).size(), 4u);
}

TEST_F(NotifierDelivery, StatusMakesTheLastAnsweringUsersChildCurrent) {
    ASSERT_TRUE(users->start(first));
    ASSERT_TRUE(users->start(third));
    EXPECT_FALSE(users->start(third)) << "a second notifier for the same user";
    mapUsers({{first, 3}, {second, 5}, {third, 4}});
    EXPECT_EQ(users->serviceNotifier().status(), 1);  // the stand-in answers 1
    EXPECT_EQ(users->serviceNotifier().getCurrentChildId(), 4u);
    users->stop(third);
    EXPECT_EQ(users->serviceNotifier().status(), 1);
    EXPECT_EQ(users->serviceNotifier().getCurrentChildId(), 3u);
    // Status checks are not notices.
    EXPECT_TRUE(users->shown(first).empty());
}

TEST_F(NotifierDelivery, EmptyMapSendsNothingForAChildAndEverythingToEveryListedAccount) {
#ifndef _WIN32
    // The listed accounts: the first two test users, the second with a
    // locked password. The third has expired and the fourth no login shell;
    // their notifiers get nothing.
    TempDir accounts;
    std::string passwd;
    std::string shadow;
    for (unsigned n = 1; n <= 4; ++n) {
        const std::string uid = std::to_string(61000 + n);
        passwd += "user" + uid + ":x:" + uid + ":" + uid +
                  "::/home/u:" + (n == 4 ? "/usr/sbin/nologin" : "/bin/sh") + "\n";
        shadow += "user" + uid + ":" + (n == 2 ? "!" : "") + "$y$hash:1:::::" +
                  (n == 3 ? "1" : "") + ":\n";
    }
    writeFile(accounts.file("passwd"), passwd);
    writeFile(accounts.file("shadow"), shadow);
    setenvForTest("ZORVANE_PASSWD_FILE", accounts.file("passwd").c_str());
    setenvForTest("ZORVANE_SHADOW_FILE", accounts.file("shadow").c_str());
    const std::vector<String> unlisted{third, UserNotifiers::sidOf(4)};
#else
    const std::vector<String> unlisted{third};
#endif
    std::vector<String> listed;
    ASSERT_GE(GetWindowsUserList(listed), 0);
    for (const String& sid : listed) {
        ASSERT_TRUE(users->start(sid)) << sid;
    }
    for (const String& sid : unlisted) {
        ASSERT_TRUE(users->start(sid)) << sid;
    }

    LogWatch toChild;
    EXPECT_EQ(users->serviceNotifier().sendNotification(4, kServersDown, 7), 0);
    EXPECT_TRUE(toChild.saw("WinNotifier::sendNotification user list empty\n"));
    EXPECT_EQ(toChild.count("connected to notifier\n"), 0);

#ifdef _WIN32
    if (listed.empty()) {
        GTEST_SKIP() << "this system lists no enabled account for notices (Wine lists its one "
                        "account at guest level)";
    }
#endif
    LogWatch toAll;
    EXPECT_EQ(notify(6, 0, std::string("\x05\0\0\0", 4)), COMMAND_SUCCESS);
    EXPECT_TRUE(toAll.saw("WinNotifier::sendNotification Sending to all users\n"));
    EXPECT_EQ(toAll.count("connected to notifier\n"), static_cast<int>(listed.size()));
    for (const String& sid : listed) {
        EXPECT_EQ(users->shown(sid, 1), Lines{"driver error: code 5"}) << sid;
    }
    for (const String& sid : unlisted) {
        EXPECT_TRUE(users->shown(sid).empty()) << sid;
    }
#ifndef _WIN32
    EXPECT_EQ(listed, (std::vector<String>{first, second}));
    setenvForTest("ZORVANE_PASSWD_FILE", nullptr);
    setenvForTest("ZORVANE_SHADOW_FILE", nullptr);
#endif
}

TEST_F(NotifierDelivery, TheProgramServesTheUserRunningIt) {
    int error = 0;
    const String own = NotifierPlatform::ownSid(error);
    ASSERT_FALSE(own.empty()) << error;
    mapUsers({{own, 3}});
    TempDir dir;
    std::ostringstream out;
    std::ostringstream err;
    int exitCode = -1;
    std::atomic<bool> ended{false};
    std::thread program([&] {
        exitCode =
            runNotifierProgram({"--count", "1", "--no-desktop", "--record", dir.file("seen")},
                               NotifierStreams{out, err});
        ended = true;
    });
    // Serving once the status check is answered (which does not count).
    bool answered = false;
    for (int i = 0; i < 500 && !answered; ++i) {
        answered = users->serviceNotifier().status() == 1;
        if (!answered) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (!answered && !ended) {
        program.detach();  // never served: nothing would end it
        FAIL() << "the program's channel never answered";
    }
    EXPECT_TRUE(answered) << err.str();
    EXPECT_EQ(notify(1, 3, std::string("example.org\0", 12)), COMMAND_SUCCESS);
    program.join();
    EXPECT_EQ(exitCode, NOTIFIER_EXIT_OK);
    EXPECT_EQ(out.str(), "site blocked: example.org\n");
    EXPECT_EQ(readFile(dir.file("seen")), "site blocked: example.org\n");
    EXPECT_NE(err.str().find("zorvane_notifier: serving "), std::string::npos) << err.str();
    EXPECT_NE(err.str().find(own), std::string::npos) << err.str();
}

}  // namespace

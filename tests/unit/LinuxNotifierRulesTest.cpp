// The notifier rules that hang on Linux accounts and socket owners.

#include <cstdlib>

#include "NotifierFixtures.h"

namespace {

TEST_F(NotifierRules, EmptyMapReachesEveryAccountThatCanSignIn) {
    // A locked password ("!" or "*") is no bar; an expired account, a shell
    // that refuses sign-in and system accounts are.
    TempDir dir;
    writeFile(dir.file("passwd"),
              "root:x:0:0:root:/root:/bin/bash\n"
              "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
              "alice:x:1000:1000::/home/alice:/bin/bash\n"
              "bob:x:1001:1001::/home/bob:/bin/bash\n"
              "carl:x:1002:1002::/home/carl:/bin/false\n"
              "dora:x:1003:1003::/home/dora:/bin/bash\n"
              "emil:x:1004:1004::/home/emil:\n"
              "finn:x:1005:1005::/home/finn:/bin/bash\n"
              "gus:x:1006:1006::/home/gus:/usr/sbin/nologin\n"
              "nobody:x:65534:65534::/nonexistent:/bin/sh\n");
    writeFile(dir.file("shadow"),
              "root:$y$hash:1::::::\n"
              "alice:$y$h:1::::::\n"
              "bob:!$y$h:1::::::\n"
              "dora:*:1::::::\n"
              "emil:!:1:::::1:\n"    // expired on the second day of 1970
              "finn:$y$h:1:::::0:\n"  // 0: never expires
              "gus:$y$h:1::::::\n");
    setenv("ZORVANE_PASSWD_FILE", dir.file("passwd").c_str(), 1);
    setenv("ZORVANE_SHADOW_FILE", dir.file("shadow").c_str(), 1);
    users.listening = {"S-1-22-1-0",    "S-1-22-1-1000", "S-1-22-1-1001", "S-1-22-1-1002",
                       "S-1-22-1-1003", "S-1-22-1-1004", "S-1-22-1-1005", "S-1-22-1-1006"};
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 0), 1);
    unsetenv("ZORVANE_PASSWD_FILE");
    unsetenv("ZORVANE_SHADOW_FILE");
    EXPECT_EQ(users.contacted, (std::vector<String>{"S-1-22-1-0", "S-1-22-1-1000", "S-1-22-1-1001",
                                                    "S-1-22-1-1003", "S-1-22-1-1005"}));
    EXPECT_TRUE(log.saw("WinNotifier::sendNotification Sending to all users"));
}

TEST_F(NotifierTransport, ANotifierRunByAnotherUserGetsNothing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make another user's folder";
    }
    // A socket in someone else's folder, served by this (root) user; only
    // root can put it there.
    User impostor(otherSid, 1);
    ASSERT_TRUE(impostor.listening);
    TestNotifier notifier(UserNotifierChannel::create());
    setUserMap(String(otherSid + ", 3\n").c_str());
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 2);
    EXPECT_TRUE(log.saw("is not a socket of the user"));
    std::lock_guard<std::mutex> lock(impostor.mutex);
    EXPECT_TRUE(impostor.messages.empty());
}

}  // namespace

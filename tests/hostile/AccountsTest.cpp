// Which real accounts get the notices meant for everybody: a user whose
// password is locked is still at the PC and gets them; an expired account
// gets nothing.

#include "HostileSystem.h"

namespace {

class EveryoneNotice : public HostileSystem {
protected:
    static bool usermod(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/sbin/usermod"};
        argv.insert(argv.end(), args.begin(), args.end());
        ProgramResult result = runProgram(argv, {}, {}, 30000);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.exitCode == 0;
    }

    // The password field of `user` in the shadow file.
    static std::string passwordField(const LocalUser& user) {
        const std::string shadow = readFile("/etc/shadow");
        const size_t start = shadow.find("\n" + user.name + ":");
        if (start == std::string::npos) {
            return std::string();
        }
        const size_t field = start + user.name.size() + 2;
        return shadow.substr(field, shadow.find(':', field) - field);
    }

    std::unique_ptr<ChildProcess> notifierOf(const LocalUser& user, const std::string& output) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{ZORVANE_NOTIFIER_PROGRAM, "--no-desktop"},
            Environment{"ZORVANE_RUN_DIR=" + runDir()}, as(user), output);
    }
};

TEST_F(EveryoneNotice, ReachesALockedPasswordButNotAnExpiredAccount) {
    // Both can sign in by their shell; the child's password is locked, the
    // other account expired on the second day of 1970.
    ASSERT_TRUE(usermod({"--shell", "/bin/sh", "--lock", child().name}));
    ASSERT_TRUE(usermod({"--shell", "/bin/sh", "--expiredate", "1970-01-02", other().name}));
    ASSERT_EQ(passwordField(child()).substr(0, 1), "!");

    // The service makes the folders of the accounts it lists at start.
    ASSERT_NO_FATAL_FAILURE(startService());
    const std::string childLog = root() + "/child-notifier.out";
    const std::string otherLog = root() + "/other-notifier.out";
    auto childNotifier = notifierOf(child(), childLog);
    auto otherNotifier = notifierOf(other(), otherLog);
    ASSERT_TRUE(eventually([&] { return contains(readFile(childLog), "serving"); }))
        << readFile(childLog) << serviceLog();

    // Without the filter host, the restarted service's first checks tell
    // everybody of the driver's failure: nobody is mapped.
    stopService();
    mFilter.reset();
    ASSERT_NO_FATAL_FAILURE(startService());
    EXPECT_TRUE(eventually([&] { return contains(readFile(childLog), "driver error: code "); }))
        << readFile(childLog) << serviceLog();
    EXPECT_TRUE(contains(serviceLog(), "WinNotifier::sendNotification Sending to all users\n"));
    EXPECT_FALSE(contains(readFile(otherLog), "driver error")) << readFile(otherLog);
    EXPECT_FALSE(contains(readFile(otherLog), "serving")) << readFile(otherLog);

    // The parent's use goes on.
    ProgramResult users = ctl({"map"});
    EXPECT_EQ(users.exitCode, 0) << users.output;
}

}  // namespace

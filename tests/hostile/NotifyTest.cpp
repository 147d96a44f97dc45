// A user squatting another user's notifier name: neither a name planted in
// the old shared folder nor one tried while the service runs keeps the user
// from their notices, and nothing reaches the squatter.

#include <sys/stat.h>

#include "HostileSystem.h"

namespace {

class NotifyNames : public HostileSystem {
protected:
    std::string notifyDir() const { return runDir() + "notify/"; }
    std::string folderOf(const LocalUser& user) const { return notifyDir() + user.sid(); }
    std::string socketOf(const LocalUser& user) const { return folderOf(user) + "/notifier"; }

    // The real stand-in notifier of `user`, its output in a file.
    std::unique_ptr<ChildProcess> notifierOf(const LocalUser& user, const std::string& output) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{ZORVANE_NOTIFIER_PROGRAM, "--no-desktop"},
            Environment{"ZORVANE_RUN_DIR=" + runDir()}, as(user), output);
    }

    // `user` runs a server on `socket` for a minute, output in a file.
    std::unique_ptr<ChildProcess> squatter(const LocalUser& user, const std::string& socket,
                                           const std::string& output) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{ZORVANE_RAW_CLIENT, "--listen", socket, "60000"},
            Environment{}, as(user), output);
    }
};

struct Owner {
    uid_t uid = 0;
    mode_t mode = 0;
    bool folder = false;
};

Owner ownerOf(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return {};
    }
    return {info.st_uid, info.st_mode & 07777, S_ISDIR(info.st_mode)};
}

TEST_F(NotifyNames, ASquattedNameDoesNotStopTheUsersNotices) {
    // The old layout: one folder open to everybody, where the other user
    // took the child's name and serves it.
    ::mkdir(notifyDir().c_str(), 0755);
    ::chmod(notifyDir().c_str(), 01777);
    ProgramResult planted = runProgram({"/bin/mkdir", folderOf(child())}, {}, as(other()), 30000);
    ASSERT_EQ(planted.exitCode, 0) << planted.output;
    const std::string plantedLog = root() + "/planted.out";
    auto plantedServer = squatter(other(), socketOf(child()), plantedLog);
    ASSERT_TRUE(eventually([&] { return contains(readFile(plantedLog), "listening"); }))
        << readFile(plantedLog);

    ASSERT_NO_FATAL_FAILURE(startService());
    const Owner notify = ownerOf(notifyDir());
    EXPECT_TRUE(notify.folder);
    EXPECT_EQ(notify.uid, 0u);
    EXPECT_EQ(notify.mode, 0755u);
    EXPECT_FALSE(ownerOf(folderOf(child())).folder) << "the planted folder is gone";

    // The child's notifier waits for its folder, which comes with the mapping.
    const std::string childLog = root() + "/child-notifier.out";
    const std::string otherLog = root() + "/other-notifier.out";
    auto childNotifier = notifierOf(child(), childLog);
    ASSERT_TRUE(eventually([&] { return contains(readFile(childLog), "waiting for "); }))
        << readFile(childLog);
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n" + other().sid() + ", 102\n"));
    ASSERT_TRUE(eventually([&] { return contains(readFile(childLog), "serving"); }))
        << readFile(childLog);
    const Owner childFolder = ownerOf(folderOf(child()));
    EXPECT_TRUE(childFolder.folder);
    EXPECT_EQ(childFolder.uid, child().uid);
    EXPECT_EQ(childFolder.mode, 0700u);
    auto otherNotifier = notifierOf(other(), otherLog);
    ASSERT_TRUE(eventually([&] { return contains(readFile(otherLog), "serving"); }))
        << readFile(otherLog);

    // Squatting now: no name can be made in the notify folder nor in the
    // child's folder.
    for (const std::string& name : {socketOf(child()), notifyDir() + child().sid() + "-x"}) {
        ProgramResult bind = runProgram({ZORVANE_RAW_CLIENT, "--listen", name, "1"}, {},
                                        as(other()), 30000);
        EXPECT_EQ(bind.exitCode, 3) << name << ": " << bind.output;
        EXPECT_TRUE(contains(bind.output, "cannot bind: Permission denied")) << bind.output;
        ProgramResult folder = runProgram({"/bin/mkdir", name + "-folder"}, {}, as(other()), 30000);
        EXPECT_NE(folder.exitCode, 0) << folder.output;
    }

    // The service starts again without the filter host: its first checks
    // find the driver failing, a notice for every mapped user. The users'
    // folders and notifiers stay as they were.
    stopService();
    mFilter.reset();
    ASSERT_NO_FATAL_FAILURE(startService());
    EXPECT_TRUE(eventually([&] { return contains(readFile(childLog), "driver error: code "); }))
        << readFile(childLog) << serviceLog();
    EXPECT_TRUE(eventually([&] { return contains(readFile(otherLog), "driver error: code "); }))
        << readFile(otherLog);
    EXPECT_FALSE(contains(readFile(plantedLog), "accepted")) << readFile(plantedLog);

    // The parent's use goes on.
    ProgramResult map = ctl({"map"});
    EXPECT_EQ(map.exitCode, 0) << map.output;
    EXPECT_TRUE(contains(map.output, child().sid() + ", 101")) << map.output;
}

}  // namespace

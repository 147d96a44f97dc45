// The service's folders, files and log against a local user: a folder made
// first with a link in it, a configuration file of the user's, reading the
// log for the children's keys, and filling the disk through the log.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "HostileSystem.h"

namespace fs = std::filesystem;

namespace {

constexpr long kLogLimit = 4L * 1024 * 1024;  // the service's log size limit
// The built-in cloud's session keys of the parent's children, and the
// parent's password digest.
const char* const kSecrets[] = {"a1ce0101c0ffee01", "be0e0102c0ffee02", "ca0a0103c0ffee03",
                                "460de495837215710a29db07c94180ca"};

struct stat statusOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

long sizeOf(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : -1;
}

class Files : public HostileSystem {};

TEST_F(Files, APlantedLogFolderWithALinkIsNotWrittenThrough) {
    useSharedTempParent();
    const std::string victim = root() + "/victim";
    writeFile(victim, "root's own file\n");
    ::chmod(victim.c_str(), 0644);
    // The user is first: the temp folder is theirs, its log a link to root's file.
    ProgramResult plant =
        runProgram({"/bin/sh", "-c", "mkdir \"$0\" && ln -s \"$1\" \"$0/zorvane_service.log\"",
                    tempDir(), victim},
                   {}, as(child()));
    ASSERT_EQ(plant.exitCode, 0) << plant.output;

    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n"));

    EXPECT_EQ(readFile(victim), "root's own file\n");
    struct stat folder = statusOf(tempDir());
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    EXPECT_EQ(folder.st_uid, 0u);
    EXPECT_EQ(folder.st_mode & 07777, 0755u);
    struct stat log = statusOf(logPath());
    EXPECT_TRUE(S_ISREG(log.st_mode));
    EXPECT_EQ(log.st_uid, 0u);
    EXPECT_EQ(log.st_mode & 0777, 0600u);
    const std::string text = serviceLog();
    EXPECT_TRUE(contains(text, "service folder: " + root() + "/shared/zorvane was owned by uid " +
                                   std::to_string(child().uid) + ", moved aside to "))
        << text;
    EXPECT_TRUE(contains(text, "waiting for UI command")) << text;
}

TEST_F(Files, AConfigurationFileOfAUserIsIgnored) {
    fs::create_directories(dataDir());
    ::chmod(dataDir().c_str(), 0755);
    const std::string conf = dataDir() + "zorvane_cloud.conf";
    // Would make every cloud transfer give up at once.
    writeFile(conf, "timeout_ms=1\nconnect_timeout_ms=1\n");
    ASSERT_EQ(::chown(conf.c_str(), child().uid, child().gid), 0);

    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n"));
    const std::string text = serviceLog();
    EXPECT_TRUE(contains(text, "CloudConfig " + conf + " ignored: owned by uid " +
                                   std::to_string(child().uid)))
        << text;
}

TEST_F(Files, NoSecretInTheLogAndOnlyRootReadsIt) {
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n" + other().sid() + ", 102\n"));
    // The keys are in the settings, and the settings were logged.
    ASSERT_TRUE(contains(settingsText(), kSecrets[0])) << settingsText();
    const std::string text = serviceLog();
    ASSERT_TRUE(contains(text, "Settings::saveToStore() ")) << text;
    ASSERT_TRUE(contains(text, "101, Alice, 1, ********")) << text;
    for (const char* secret : kSecrets) {
        EXPECT_FALSE(contains(text, secret)) << secret << "\n" << text;
    }

    for (const std::string& path : {logPath(), dataDir() + "zorvane.cred"}) {
        EXPECT_EQ(statusOf(path).st_mode & 0777, 0600u) << path;
        ProgramResult peek = runProgram({"/bin/cat", path}, {}, as(child()));
        EXPECT_NE(peek.exitCode, 0) << path;
        EXPECT_FALSE(contains(peek.output, kSecrets[0])) << peek.output;
    }
}

TEST_F(Files, ALogFloodStopsAtTheSizeLimit) {
    ASSERT_NO_FATAL_FAILURE(startService());
    // Each user-info request (which gets no answer) costs the user 8 bytes
    // and the log four lines.
    ProgramResult flood = raw(child(), uiSocket(), {"repeat:50000:frame:261"}, 120000);
    ASSERT_EQ(flood.exitCode, 0) << flood.output;

    // Served after the flood: the parent still gets answers.
    ProgramResult status = ctl({"auth-status"});
    EXPECT_EQ(status.exitCode, 0) << status.output;

    const std::string rolled = tempDir() + "zorvane_service1.log";
    const long line = 200;  // longer than any line the flood makes
    // The channel reads the flood's frames after the flooder has gone: wait
    // until the service has logged them all (the files stop changing).
    EXPECT_TRUE(eventually([&] { return sizeOf(rolled) > kLogLimit; }, 60000));
    std::pair<long, long> last{-1, -1};
    int still = 0;
    EXPECT_TRUE(eventually(
        [&] {
            const std::pair<long, long> now{sizeOf(rolled), sizeOf(logPath())};
            still = now == last ? still + 1 : 0;
            last = now;
            return still >= 25;  // half a second without a change
        },
        60000));
    EXPECT_LE(sizeOf(logPath()), kLogLimit + line);
    EXPECT_GT(sizeOf(rolled), kLogLimit);
    EXPECT_LE(sizeOf(rolled), kLogLimit + line);
    EXPECT_TRUE(contains(readFile(rolled) + readFile(logPath()),
                         "Logger: log passed 4194304 bytes, rolled over"));
}

}  // namespace

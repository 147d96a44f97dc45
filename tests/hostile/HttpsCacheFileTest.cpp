// The host-cache file against a local user: a link of the user's in its
// place is replaced by the service's own private file, never written
// through, while the parent's use goes on.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "HostileSystem.h"

namespace fs = std::filesystem;

namespace {

class HttpsCacheFile : public HostileSystem {};

TEST_F(HttpsCacheFile, ALinkInItsPlaceIsReplacedNotFollowed) {
    const std::string victim = root() + "/victim";
    writeFile(victim, "root's own file\n");
    ::chmod(victim.c_str(), 0644);
    fs::create_directories(dataDir());
    ::chmod(dataDir().c_str(), 0755);
    // Left by the user earlier: the cache file is a link of theirs to
    // root's file.
    const std::string cacheFile = dataDir() + "https_cache";
    fs::create_symlink(victim, cacheFile);
    ASSERT_EQ(::lchown(cacheFile.c_str(), child().uid, child().gid), 0);

    // The first check pass writes the cache file.
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n"));
    EXPECT_TRUE(contains(serviceLog(), "Service::checkHttpsCache\n")) << serviceLog();

    EXPECT_EQ(readFile(victim), "root's own file\n");
    struct stat status {};
    ASSERT_EQ(::lstat(cacheFile.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(cacheFile), "  ");
    ProgramResult peek = runProgram({"/bin/cat", cacheFile}, {}, as(child()));
    EXPECT_NE(peek.exitCode, 0) << peek.output;
}

}  // namespace

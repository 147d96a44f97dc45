// The log rollover against Linux folder permissions.

#include <filesystem>
#include <fstream>

#include "LoggerFixture.h"

namespace {

TEST_F(LoggerRollover, KeepsLoggingWhenTheOldLogCannotBeDeleted) {
    // A folder without write permission refuses the unlink, except for root.
    ClockedLogger logger(log, now);
    logger.out(LOGLEVEL_INFO, "kept\n");
    std::filesystem::permissions(
        dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    struct Restore {
        const std::filesystem::path& path;
        ~Restore() { std::filesystem::permissions(path, std::filesystem::perms::owner_all); }
    } restore{dir.path()};
    if (fileExists(log) && !std::ofstream(dir.file("probe")).fail()) {
        GTEST_SKIP() << "running as root: folder permissions cannot make the delete fail";
    }
    expectRolloverKeepsLogging(logger);
}

}  // namespace

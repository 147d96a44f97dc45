// The log rollover against Windows file sharing.

#include <fstream>

#include "LoggerFixture.h"

namespace {

TEST_F(LoggerRollover, KeepsLoggingWhenTheOldLogCannotBeDeleted) {
    // An open handle without delete sharing makes DeleteFileA fail.
    ClockedLogger logger(log, now);
    logger.out(LOGLEVEL_INFO, "kept\n");
    std::ifstream holder(log);
    expectRolloverKeepsLogging(logger);
}

}  // namespace

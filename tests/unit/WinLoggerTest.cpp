// The log rollover against Windows file sharing.

#include <fstream>

#include "LoggerFixture.h"

namespace {

TEST_F(LoggerRollover, KeepsLoggingWhenTheOldLogCannotBeDeleted) {
    // An open handle without delete sharing makes DeleteFileA fail.
    ClockedLogger logger(log, now);
    logger.out(LOGLEVEL_INFO, "kept\n");
    std::ifstream holder(log);
    EXPECT_EQ(logger.rollover(String(rolled)), 1);
    logger.out(LOGLEVEL_INFO, "still written\n");
    std::string text = readFile(log);
    EXPECT_NE(text.find("kept"), std::string::npos);
    EXPECT_NE(text.find("still written"), std::string::npos);
}

}  // namespace

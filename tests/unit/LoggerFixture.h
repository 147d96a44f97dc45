#pragma once

// Loggers with a clock of the test's and the rollover fixture, for the
// logger tests of every platform.

#include "base/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

// A logger whose clock and size limit the test sets.
class ClockedLogger : public Logger {
public:
    ClockedLogger(const std::string& path, time_t now, long maxSize = Logger::kMaxLogSize)
        : Logger(String(path), String()), mNow(now), mMaxSize(maxSize) {}
    void setNow(time_t now) { mNow = now; }

protected:
    time_t currentTime() const override { return mNow; }
    long maxLogSize() const override { return mMaxSize; }

private:
    std::atomic<time_t> mNow;
    const long mMaxSize;
};

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

inline std::string stamp(time_t when) {
    std::string text = std::ctime(&when);
    return text.substr(0, text.find('\n'));
}

class LoggerRollover : public testing::Test {
protected:
    TempDir dir;
    std::string log = dir.file("zorvane_service.log");
    std::string rolled = dir.file("zorvane_service1.log");
    const time_t now = 1796550790;

    // A rollover whose delete of the old log fails still succeeds, and the
    // logger keeps what it had and goes on writing.
    void expectRolloverKeepsLogging(ClockedLogger& logger) {
        EXPECT_EQ(logger.rollover(String(rolled)), 1);
        logger.out(LOGLEVEL_INFO, "still written\n");
        std::string text = readFile(log);
        EXPECT_NE(text.find("kept"), std::string::npos);
        EXPECT_NE(text.find("still written"), std::string::npos);
    }
};

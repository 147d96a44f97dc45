#include "LoggerFixture.h"

namespace {

struct LevelCase {
    const char* levelFile;  // nullptr: no level file at all
    int messageLevel;
    bool written;
};

class LoggerLevel : public testing::TestWithParam<LevelCase> {};

TEST_P(LoggerLevel, FiltersByTheLevelFile) {
    TempDir dir;
    const LevelCase& c = GetParam();
    std::string levelPath = dir.file("zorvane_log_level");
    if (c.levelFile) {
        writeFile(levelPath, c.levelFile);
    }
    {
        Logger logger(String(dir.file("test.log")), String(levelPath));
        logger.out(c.messageLevel, "message %d\n", 7);
    }
    EXPECT_EQ(readFile(dir.file("test.log")).find("message 7") != std::string::npos, c.written);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoggerLevel,
    testing::Values(LevelCase{nullptr, LOGLEVEL_INFO, true}, LevelCase{"", LOGLEVEL_INFO, true},
                    LevelCase{"2", LOGLEVEL_WARN, false}, LevelCase{"2", LOGLEVEL_ERROR, true},
                    LevelCase{"2\n", LOGLEVEL_ERROR, true}, LevelCase{"3", LOGLEVEL_ERROR, false},
                    LevelCase{"9", LOGLEVEL_ERROR, false}, LevelCase{"x", LOGLEVEL_INFO, true},
                    LevelCase{"1", LOGLEVEL_INFO, false}));

TEST(Logger, LineIsCtimeStampSpaceAndMessage) {
    TempDir dir;
    const time_t when = 1796550790;
    {
        ClockedLogger logger(dir.file("test.log"), when);
        logger.out(LOGLEVEL_INFO, "first %s\n", "line");
        // No line end of its own: the next stamp follows on the same line.
        logger.out(LOGLEVEL_INFO, "no end");
        logger.out(LOGLEVEL_ERROR, "third\n");
    }
    std::vector<std::string> got = lines(readFile(dir.file("test.log")));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], stamp(when) + " first line");
    EXPECT_EQ(got[1], stamp(when) + " no end" + stamp(when) + " third");
    EXPECT_EQ(stamp(when).size(), 24u);
}

TEST(Logger, AppendsAcrossRestarts) {
    TempDir dir;
    std::string path = dir.file("test.log");
    writeFile(path, "earlier\n");
    Logger(String(path), String()).out(LOGLEVEL_INFO, "later\n");
    std::vector<std::string> got = lines(readFile(path));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "earlier");
    EXPECT_NE(got[1].find(" later"), std::string::npos);
}

TEST(Logger, WithoutALogFileMessagesGoToStandardOutput) {
    TempDir dir;
    testing::internal::CaptureStdout();
    {
        Logger noPath{String(), String()};
        noPath.out(LOGLEVEL_ERROR, "lost\n");
        EXPECT_EQ(noPath.createNewLogFile(), 0);
        Logger badPath{String(dir.file("missing/dir/test.log")), String()};
        badPath.out(LOGLEVEL_ERROR, "lost too\n");
    }
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("log level 0"), std::string::npos);
    EXPECT_NE(printed.find("cannot create Log File "), std::string::npos);
    EXPECT_EQ(printed.find("lost"), std::string::npos);
}

struct RolledNameCase {
    const char* path;
    const char* rolled;
};

class LoggerRolledName : public testing::TestWithParam<RolledNameCase> {};

TEST_P(LoggerRolledName, CutsBeforeTheFirstDotLog) {
    EXPECT_EQ(Logger::rolledFileName(GetParam().path), GetParam().rolled);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoggerRolledName,
                         testing::Values(RolledNameCase{"C:\\Windows\\zorvane_service.log",
                                                        "C:\\Windows\\zorvane_service1.log"},
                                         RolledNameCase{"/var/tmp/zorvane/zorv_man.log",
                                                        "/var/tmp/zorvane/zorv_man1.log"},
                                         RolledNameCase{"a.log.log", "a1.log"},
                                         RolledNameCase{"x.logfile/y.log", "x1.log"},
                                         // A dot elsewhere does not count.
                                         RolledNameCase{"/srv/zorvane.d/zorvane_service.log",
                                                        "/srv/zorvane.d/zorvane_service1.log"},
                                         RolledNameCase{"C:\\Users\\j.doe\\Temp\\z.log",
                                                        "C:\\Users\\j.doe\\Temp\\z1.log"},
                                         RolledNameCase{"logs/zorvane.old.log", "logs/zorvane.old1.log"},
                                         // No ".log": the rolled file lands in the current folder.
                                         RolledNameCase{"/var/tmp/zorvane/service", "1.log"}));

TEST_F(LoggerRollover, FirstCheckOfAFreshInstallRollsAtOnce) {
    ClockedLogger logger(log, now);
    logger.out(LOGLEVEL_INFO, "before rollover\n");
    EXPECT_EQ(logger.checkLogRollover(), 1);

    EXPECT_NE(readFile(rolled).find("before rollover"), std::string::npos);
    std::vector<std::string> fresh = lines(readFile(log));
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0], stamp(now) + " Logger::rollOver status failed 2");

    // The next check finds the rolled file and only computes the schedule.
    logger.out(LOGLEVEL_INFO, "after rollover\n");
    setModificationTime(rolled, now - 10);
    EXPECT_EQ(logger.checkLogRollover(), 1);
    EXPECT_NE(readFile(log).find("after rollover"), std::string::npos);
    EXPECT_NE(readFile(log).find("next check time " + std::to_string(now - 10 + 604800)),
              std::string::npos);
}

TEST_F(LoggerRollover, RollsOnlyWhenTheRolledFileIsOlderThanSevenDays) {
    writeFile(rolled, "older generation\n");
    setModificationTime(rolled, now - 604800);
    ClockedLogger logger(log, now);
    logger.out(LOGLEVEL_INFO, "current generation\n");

    EXPECT_EQ(logger.checkLogRollover(), 1);  // exactly seven days: no rollover
    EXPECT_EQ(readFile(rolled), "older generation\n");
    EXPECT_NE(readFile(log).find("time diff 604800 604800"), std::string::npos);
    EXPECT_NE(readFile(log).find("next check time " + std::to_string(now)), std::string::npos);

    setModificationTime(rolled, now - 604801);  // one second more: rollover
    EXPECT_EQ(logger.checkLogRollover(), 1);
    std::string rolledText = readFile(rolled);
    EXPECT_NE(rolledText.find("current generation"), std::string::npos);
    EXPECT_NE(rolledText.find("rolling over log file"), std::string::npos);
    EXPECT_EQ(rolledText.find("older generation"), std::string::npos);
    EXPECT_NE(readFile(log).find("next check time " + std::to_string(now + 604800)),
              std::string::npos);

    // Until then the check does nothing but say so.
    logger.setNow(now + 604799);
    EXPECT_EQ(logger.checkLogRollover(), 0);
    EXPECT_NE(readFile(log).find("not checking"), std::string::npos);
}

TEST_F(LoggerRollover, KeepsTheLastModificationTimeOfTheLog) {
    ClockedLogger logger(log, now);
    logger.out(LOGLEVEL_INFO, "line\n");
    const time_t lastWrite = 1700000000;
    setModificationTime(log, lastWrite);
    EXPECT_EQ(logger.rollover(String(rolled)), 1);
    EXPECT_EQ(modificationTime(rolled), lastWrite);
    logger.out(LOGLEVEL_INFO, "new generation\n");
    EXPECT_EQ(lines(readFile(log)).size(), 1u);
}

TEST_F(LoggerRollover, WritersOnOtherThreadsLoseNoLineDuringARollover) {
    Logger logger{String(log), String()};
    constexpr int kThreads = 4;
    constexpr int kLines = 400;
    std::atomic<int> started{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            ++started;
            for (int i = 0; i < kLines; ++i) {
                logger.out(LOGLEVEL_INFO, "writer %d line %d end\n", t, i);
            }
        });
    }
    while (started < kThreads) {
        std::this_thread::yield();
    }
    logger.rollover(String(rolled));
    for (auto& writer : writers) {
        writer.join();
    }

    // One rollover: every line is in exactly one of the two generations, whole.
    std::set<std::string> seen;
    for (const std::string& file : {rolled, log}) {
        for (const std::string& line : lines(readFile(file))) {
            std::string message = line.substr(25);
            ASSERT_EQ(message.rfind("writer ", 0), 0u) << line;
            ASSERT_EQ(message.substr(message.size() - 4), " end") << line;
            EXPECT_TRUE(seen.insert(message).second) << "twice: " << line;
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(LoggerRollover, RollsWhenTheLogPassesItsSizeLimit) {
    constexpr long kLimit = 300;
    ClockedLogger logger(log, now, kLimit);
    const std::string line = stamp(now) + " line 00 " + std::string(40, 'x');  // 74 bytes + "\n"
    for (int i = 0; i < 20; ++i) {
        logger.out(LOGLEVEL_INFO, "line %02d %s\n", i, std::string(40, 'x').c_str());
    }
    // Neither generation grows past the limit and one line; the newest line
    // is in the log, the ones just before it in the rolled file.
    const std::string current = readFile(log);
    const std::string older = readFile(rolled);
    EXPECT_LE(current.size(), static_cast<size_t>(kLimit) + line.size() + 1) << current;
    EXPECT_GT(older.size(), static_cast<size_t>(kLimit)) << older;
    EXPECT_LE(older.size(), static_cast<size_t>(kLimit) + line.size() + 1) << older;
    EXPECT_NE(current.find("line 19 "), std::string::npos) << current;
    EXPECT_NE(older.find("line 15 "), std::string::npos) << older;
    EXPECT_NE(current.find("Logger: log passed 300 bytes, rolled over"), std::string::npos)
        << current;
    EXPECT_EQ(current.find("line 00 "), std::string::npos) << current;
}

TEST(Logger, InstanceIsCreatedOnceAndIgnoresLaterArguments) {
    Logger* first = Logger::instance();
    EXPECT_EQ(Logger::instance(String("elsewhere.log"), String("level")), first);
    first->out(LOGLEVEL_ERROR, "singleton line\n");
    EXPECT_TRUE(testLogContains("singleton line"));
    EXPECT_FALSE(fileExists("elsewhere.log"));
}

}  // namespace

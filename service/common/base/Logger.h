#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "base/String.h"

#if defined(__MINGW32__)
#define ZORVANE_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define ZORVANE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

enum E_LogLevel { LOGLEVEL_INFO = 0, LOGLEVEL_WARN = 1, LOGLEVEL_ERROR = 2 };

// The process-wide text log: each line is the ctime stamp, a space and the
// caller's message (which brings its own line end). Lines below the level read
// from the one-character level file are dropped. Once a week, and whenever it
// grows past kMaxLogSize, the log is rolled over into one older generation
// (see checkLogRollover). The log file is readable by the service's user only.
class Logger {
public:
    // The first call creates the logger from the two paths; later calls ignore
    // their arguments and return the same object.
    static Logger* instance(String logPath = String(), String logLevelPath = String());

    Logger(String logPath, String logLevelPath);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    virtual void out(int level, const char* format, ...) ZORVANE_PRINTF(3, 4);
    virtual void startNew();
    virtual ~Logger();

    void setLogLevel(int level);
    int getLogLevel() const;

    int createNewLogFile();
    int checkLogRollover();
    int rollover(String destFile);

    // The rolled file's name: the path before its first ".log", then "1.log".
    static String rolledFileName(const String& logPath);

    static constexpr unsigned int kRolloverPeriod = 604800;  // seven days
    // A write that leaves the log larger than this rolls it over, so a flood
    // of lines (any local user can make the service log) never fills the
    // disk: the log stays below this plus one line, with one older file.
    static constexpr long kMaxLogSize = 4L * 1024 * 1024;

protected:
    // Seconds since 1970; a seam for tests that drive the schedule.
    virtual time_t currentTime() const;
    // kMaxLogSize; a seam for tests that fill the log.
    virtual long maxLogSize() const;

private:
    // Caller holds mLock.
    void writeLocked(int level, const char* format, va_list args);
    void rolloverLocked(const String& destFile);
    void outLocked(int level, const char* format, ...) ZORVANE_PRINTF(3, 4);
    void rollOverWhenFullLocked();

    static Logger* mpSingleton;

    // Guards mLogFile, mNextCheckTime and every write: rollover closes and
    // replaces the stream, and no writer may touch a closed one.
    std::mutex mLock;
    FILE* mLogFile;
    String mPath;
    std::atomic<int> mLogLevel;
    time_t mNextCheckTime;
    bool mRollingOver = false;  // guarded by mLock
};

#include "base/Logger.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "port/FileSystem.h"

Logger* Logger::mpSingleton = nullptr;

Logger* Logger::instance(String logPath, String logLevelPath) {
    // The service entry makes the first call before any other thread exists;
    // the once-flag only guards against a careless later caller.
    static std::once_flag created;
    std::call_once(created, [&] { mpSingleton = new Logger(logPath, logLevelPath); });
    return mpSingleton;
}

Logger::Logger(String logPath, String logLevelPath)
    : mLogFile(nullptr), mPath(), mLogLevel(0), mNextCheckTime(0) {
    if (!logPath.empty()) {
        mPath = logPath;
    }
    String levelFileRefused;
    if (!logLevelPath.empty()) {
        // Only a file no other user could have made or changed sets the level.
        String level;
        if (FileSystem::readTrustedFile(logLevelPath, level, levelFileRefused) && !level.empty()) {
            const char first = level[0];
            mLogLevel = (first >= '0' && first <= '9') ? first - '0' : 0;
        }
    }
    if (!mPath.empty()) {
        mLogFile = FileSystem::openForWriting(mPath, FileSystem::Protection::PRIVATE,
                                              FileSystem::Start::APPEND);
    }
    std::printf("log level %d\n", mLogLevel.load());
    if (!levelFileRefused.empty()) {
        out(LOGLEVEL_ERROR, "Logger: level file %s ignored: %s\n", logLevelPath.c_str(),
            levelFileRefused.c_str());
    }
}

Logger::~Logger() {
    std::lock_guard<std::mutex> lock(mLock);
    if (mLogFile) {
        std::fclose(mLogFile);
        mLogFile = nullptr;
    }
}

void Logger::out(int level, const char* format, ...) {
    if (mLogLevel > level) {
        return;
    }
    std::lock_guard<std::mutex> lock(mLock);
    va_list args;
    va_start(args, format);
    writeLocked(level, format, args);
    va_end(args);
}

void Logger::outLocked(int level, const char* format, ...) {
    if (mLogLevel > level) {
        return;
    }
    va_list args;
    va_start(args, format);
    writeLocked(level, format, args);
    va_end(args);
}

void Logger::writeLocked(int /*level*/, const char* format, va_list args) {
    if (!mLogFile) {
        std::printf("cannot create Log File %d\n", errno);
        std::fflush(stdout);
        return;
    }
    time_t now = currentTime();
    const char* stamp = std::ctime(&now);
    if (stamp) {
        int stampLength = 0;
        while (stamp[stampLength] && stamp[stampLength] != '\n') {
            ++stampLength;
        }
        std::fprintf(mLogFile, "%.*s ", stampLength, stamp);
    }
    std::vfprintf(mLogFile, format, args);
    std::fflush(mLogFile);
    rollOverWhenFullLocked();
}

void Logger::rollOverWhenFullLocked() {
    const long size = std::ftell(mLogFile);
    if (mRollingOver || size <= maxLogSize()) {
        return;
    }
    mRollingOver = true;
    rolloverLocked(rolledFileName(mPath));
    outLocked(LOGLEVEL_ERROR, "Logger: log passed %ld bytes, rolled over\n", maxLogSize());
    mRollingOver = false;
}

void Logger::startNew() {}

void Logger::setLogLevel(int level) {
    mLogLevel = level;
}

int Logger::getLogLevel() const {
    return mLogLevel;
}

int Logger::createNewLogFile() {
    if (mPath.empty()) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mLock);
    FILE* file = FileSystem::openForWriting(mPath, FileSystem::Protection::PRIVATE,
                                            FileSystem::Start::APPEND);
    if (!file) {
        return 0;
    }
    if (mLogFile) {
        std::fclose(mLogFile);
    }
    mLogFile = file;
    return 1;
}

String Logger::rolledFileName(const String& logPath) {
    return String(logPath.before(".log") + "1.log");
}

time_t Logger::currentTime() const {
    return std::time(nullptr);
}

long Logger::maxLogSize() const {
    return kMaxLogSize;
}

int Logger::checkLogRollover() {
    std::lock_guard<std::mutex> lock(mLock);
    time_t now = currentTime();
    if (mNextCheckTime != 0 && now < mNextCheckTime) {
        outLocked(LOGLEVEL_INFO, "not checking\n");
        return 0;
    }

    String rolled = rolledFileName(mPath);
    struct stat status {};
    if (stat(rolled.c_str(), &status) != 0) {
        // Never rolled: roll now; the next check finds the rolled file and
        // computes the schedule from it.
        int statError = errno;
        rolloverLocked(rolled);
        outLocked(LOGLEVEL_ERROR, "Logger::rollOver status failed %d\n", statError);
        return 1;
    }

    time_t currTime = currentTime();
    uint32_t diff = static_cast<uint32_t>(currTime - status.st_mtime);
    outLocked(LOGLEVEL_ERROR, "%s times - create %d modified %d curr %d\n", rolled.c_str(),
              static_cast<int>(status.st_ctime), static_cast<int>(status.st_mtime),
              static_cast<int>(currTime));
    outLocked(LOGLEVEL_ERROR, "time diff %d %d\n", static_cast<int>(diff),
              static_cast<int>(kRolloverPeriod));

    if (diff <= kRolloverPeriod) {
        mNextCheckTime = currTime - diff + kRolloverPeriod;
    } else {
        outLocked(LOGLEVEL_ERROR, "rolling over log file\n");
        mNextCheckTime = currTime + kRolloverPeriod;
        rolloverLocked(rolled);
    }
    outLocked(LOGLEVEL_ERROR, "next check time %d\n", static_cast<int>(mNextCheckTime));
    return 1;
}

int Logger::rollover(String destFile) {
    std::lock_guard<std::mutex> lock(mLock);
    rolloverLocked(destFile);
    return 1;
}

void Logger::rolloverLocked(const String& destFile) {
    if (mLogFile) {
        std::fclose(mLogFile);
        mLogFile = nullptr;
    }
    if (mPath.empty()) {
        return;
    }
    FileSystem::copyFile(mPath, destFile);  // a failed copy is not reported
    if (FileSystem::deleteFile(mPath)) {
        mLogFile = FileSystem::openForWriting(mPath, FileSystem::Protection::PRIVATE,
                                              FileSystem::Start::EMPTY);
    } else {
        // The old file stays; keep writing to it rather than losing lines.
        mLogFile = FileSystem::openForWriting(mPath, FileSystem::Protection::PRIVATE,
                                              FileSystem::Start::APPEND);
    }
}

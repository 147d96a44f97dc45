#include "UiLogger.h"

#include <cerrno>
#include <cstdarg>
#include <ctime>

UiLogger* UiLogger::instance(const String& logPath, const String& levelPath) {
    static UiLogger* logger = new UiLogger(logPath, levelPath);
    return logger;
}

UiLogger::UiLogger(const String& logPath, const String& levelPath) {
    if (!levelPath.empty()) {
        if (FILE* levelFile = std::fopen(levelPath.c_str(), "r")) {
            int first = std::fgetc(levelFile);
            mLevel = first >= '0' && first <= '9' ? first - '0' : 0;
            std::fclose(levelFile);
        }
    }
    mFile = std::fopen(logPath.c_str(), "a");
    if (!mFile) {
        mOpenError = errno;
    }
    std::printf("log level %d\n", mLevel);
}

UiLogger::~UiLogger() {
    if (mFile) {
        std::fclose(mFile);
    }
}

void UiLogger::out(int level, const char* format, ...) {
    if (level < mLevel) {
        return;
    }
    if (!mFile) {
        std::printf("cannot create Log File %d\n", mOpenError);
        return;
    }
    time_t now = std::time(nullptr);
    const char* stamp = std::ctime(&now);
    int stampLength = 0;
    while (stamp && stamp[stampLength] && stamp[stampLength] != '\n') {
        ++stampLength;
    }
    std::fprintf(mFile, "%.*s ", stampLength, stamp ? stamp : "");
    va_list args;
    va_start(args, format);
    std::vfprintf(mFile, format, args);
    va_end(args);
    std::fflush(mFile);
}

#pragma once

#include <cstdio>

#include "base/String.h"

#if defined(__MINGW32__)
#define ZORVANE_UI_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define ZORVANE_UI_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// The desktop program's own log writer (not the service's): each entry is the
// ctime stamp without its newline, one blank and the caller's message (which
// brings its own newline); entries below the level from the level file are
// dropped. Single-threaded, like the program.
class UiLogger {
public:
    // The first call creates the writer from the two paths; later calls
    // ignore them and return the same one.
    static UiLogger* instance(const String& logPath = String(), const String& levelPath = String());

    // Reads the level from the level file's first character (0 when the path
    // is empty or unreadable), opens the log for appending and prints
    // "log level " and the level on standard output.
    UiLogger(const String& logPath, const String& levelPath);
    ~UiLogger();
    UiLogger(const UiLogger&) = delete;
    UiLogger& operator=(const UiLogger&) = delete;

    void out(int level, const char* format, ...) ZORVANE_UI_PRINTF(3, 4);
    int level() const { return mLevel; }

private:
    FILE* mFile = nullptr;
    int mOpenError = 0;
    int mLevel = 0;
};

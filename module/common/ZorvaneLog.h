#pragma once

// The filter's diagnostics: printf formats to the platform's debug output.

#include "os_interface.h"

enum E_ZorvaneDebugLevel {
    ZORVANE_DBG_TRACE = 0,  // per allocation, per lookup, per packet
    ZORVANE_DBG_INFO = 1,
    ZORVANE_DBG_ERROR = 2,
};

#if defined(__MINGW32__)
#define ZORVANE_DBG_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define ZORVANE_DBG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// Messages below the level are not formatted at all. Set before start.
void ZorvaneSetDebugLevel(int level);

extern int gZorvaneDebugLevel;
inline bool ZorvaneDebugEnabled(int level) {
    return level >= gZorvaneDebugLevel;
}

void ZorvanePrint(int level, const char* format, ...) ZORVANE_DBG_PRINTF(2, 3);

// Muted messages cost one compare: their arguments are not even evaluated.
#define ZorvLog(level, ...)                     \
    do {                                        \
        if (ZorvaneDebugEnabled(level)) {       \
            ZorvanePrint((level), __VA_ARGS__); \
        }                                       \
    } while (0)

#include "ZorvaneLog.h"

// Written once before start, read everywhere after.
int gZorvaneDebugLevel = ZORVANE_DBG_INFO;

void ZorvaneSetDebugLevel(int level) {
    gZorvaneDebugLevel = level;
}

void ZorvanePrint(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    OsDebugPrint(level, format, args);
    va_end(args);
}

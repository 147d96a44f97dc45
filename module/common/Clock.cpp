#include "Clock.h"

#include "os_interface.h"

namespace {

// Ticks times the tick length, in 100 ns units.
uint64_t elapsed() {
    return OsTickCount() * OsTickIncrement();
}

}  // namespace

uint32_t ZorvaneMinutesNow() {
    return static_cast<uint32_t>(elapsed() / 600000000ull);
}

uint32_t ZorvaneSecondsNow() {
    return static_cast<uint32_t>(elapsed() / 10000000ull);
}

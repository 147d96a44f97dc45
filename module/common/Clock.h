#pragma once

// The maps' two clocks, counting from system start. Differences are taken in
// unsigned 32-bit arithmetic, so a wrap does not disturb ageing.

#include <cstdint>

uint32_t ZorvaneMinutesNow();
uint32_t ZorvaneSecondsNow();

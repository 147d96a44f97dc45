#pragma once

#include <chrono>
#include <thread>

#include "port/Thread.h"

// Waits (bounded) until the thread's status reads `wanted`.
inline bool statusBecomes(Thread& thread, int wanted) {
    for (int i = 0; i < 2000; ++i) {
        if (thread.status() == wanted) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

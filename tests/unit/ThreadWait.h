#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "port/Thread.h"
#include "port/ThreadHandler.h"

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

// Starts `sleeper` (which waits until the atomic flag it is given is set),
// terminates it from outside and expects it to end.
inline void expectTerminateEndsRunningThread(ThreadFunction sleeper) {
    std::atomic<bool> stop{false};
    std::unique_ptr<Thread> thread = ThreadHandler::instance()->createThread(sleeper, &stop);
    ASSERT_TRUE(thread->create());
    EXPECT_EQ(thread->status(), 1);
    thread->terminate();
    EXPECT_TRUE(statusBecomes(*thread, 0));
    stop = true;
}

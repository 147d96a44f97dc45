// Ending a running thread from outside: TerminateThread.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "ThreadWait.h"

namespace {

// Waits in the system's own Sleep: a thread killed inside the C++ runtime's
// sleep can leave the runtime's lock taken, and the test program then hangs
// on its way out.
void* sleepUntilStopped(void* parm) {
    auto* stop = static_cast<std::atomic<bool>*>(parm);
    while (!*stop) {
        Sleep(1);
    }
    return nullptr;
}

TEST(Thread, TerminateEndsARunningThread) {
    expectTerminateEndsRunningThread(sleepUntilStopped);
}

}  // namespace

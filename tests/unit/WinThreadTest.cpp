// Ending a running thread from outside: TerminateThread.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "ThreadWait.h"
#include "port/ThreadHandler.h"

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
    std::atomic<bool> stop{false};
    std::unique_ptr<Thread> thread =
        ThreadHandler::instance()->createThread(sleepUntilStopped, &stop);
    ASSERT_TRUE(thread->create());
    EXPECT_EQ(thread->status(), 1);
    thread->terminate();
    EXPECT_TRUE(statusBecomes(*thread, 0));
    stop = true;
}

}  // namespace

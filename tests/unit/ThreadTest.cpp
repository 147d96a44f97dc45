#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ThreadWait.h"
#include "port/ThreadHandler.h"

namespace {

using namespace std::chrono_literals;

// A gate the thread function waits at until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool entered = false;
    void* seenParm = nullptr;

    static void* run(void* parm) {
        auto* gate = static_cast<Gate*>(parm);
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->entered = true;
        gate->seenParm = parm;
        gate->changed.notify_all();
        gate->changed.wait(lock, [gate] { return gate->open; });
        return nullptr;
    }
};

TEST(Thread, StatusIsOneWhileRunningAndZeroAfterReturn) {
    ASSERT_NE(ThreadHandler::instance(), nullptr);
    Gate gate;
    std::unique_ptr<Thread> thread = ThreadHandler::instance()->createThread(Gate::run, &gate);
    EXPECT_EQ(thread->status(), 0);  // built, not started
    std::this_thread::sleep_for(20ms);
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        EXPECT_FALSE(gate.entered);
    }

    ASSERT_TRUE(thread->create());
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.changed.wait_for(lock, 10s, [&] { return gate.entered; }));
        EXPECT_EQ(gate.seenParm, &gate);
    }
    EXPECT_EQ(thread->status(), 1);
    EXPECT_FALSE(thread->create());  // one start only

    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
    }
    gate.changed.notify_all();
    EXPECT_TRUE(statusBecomes(*thread, 0));
}

TEST(Thread, ManyThreadsEachRunOnce) {
    std::atomic<int> runs{0};
    auto count = [](void* parm) -> void* {
        ++*static_cast<std::atomic<int>*>(parm);
        return nullptr;
    };
    std::vector<std::unique_ptr<Thread>> threads;
    for (int i = 0; i < 16; ++i) {
        threads.push_back(ThreadHandler::instance()->createThread(count, &runs));
        ASSERT_TRUE(threads.back()->create());
    }
    for (auto& thread : threads) {
        EXPECT_TRUE(statusBecomes(*thread, 0));
    }
    EXPECT_EQ(runs, 16);
}

}  // namespace

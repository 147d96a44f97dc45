#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "Filter.h"
#include "TestOs.h"
#include "ZorvaneLog.h"

// A started filter over TestOs with every diagnostic captured; at the end the
// filter is unloaded and must have given back all memory.
class FilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestOs::reset();
        ZorvaneSetDebugLevel(ZORVANE_DBG_TRACE);
        ASSERT_EQ(ZorvaneFilterStart(), 1);
    }

    void TearDown() override {
        ZorvaneFilterUnload();
        EXPECT_EQ(TestOs::outstandingAllocations(), 0);
    }
};

// Polls `done` for up to five seconds.
inline bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FilterFixture.h"
#include "ReadQueue.h"
#include "RecordBytes.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSiteBlocked = 3;
constexpr uint32_t kRedirectPid = 7;
constexpr uint32_t kCheckExit = 5;

class ReadQueueTest : public FilterTest {
protected:
    // One read of `length` bytes into a buffer prefilled with 0xAA, with a
    // guard area after it.
    uint32_t read(uint32_t length) {
        mBuffer.assign(length + 16, 0xAA);
        return ZorvaneReadStep(mBuffer.data(), length);
    }

    std::string text(size_t offset) const {
        return std::string(reinterpret_cast<const char*>(mBuffer.data() + offset));
    }

    void notifyBlocked(const std::string& host, uint32_t child) {
        SendNotification(kSiteBlocked, static_cast<int32_t>(host.size()), host.c_str(), child);
    }

    std::vector<uint8_t> mBuffer;
};

TEST_F(ReadQueueTest, RecordsAreDeliveredInTheOrderQueued) {
    notifyBlocked("first.example", 5);
    const uint32_t pid = 0x01020304;
    SendNotification(kRedirectPid, 4, &pid, 0);
    notifyBlocked("third.example", 6);
    ASSERT_EQ(ZorvaneReadQueueLength(), 3u);

    ASSERT_EQ(read(512), 8u + 14u);
    EXPECT_EQ(LoadLe32(&mBuffer[0]), kSiteBlocked);
    EXPECT_EQ(LoadLe32(&mBuffer[4]), 5u);
    EXPECT_EQ(text(8), "first.example");

    ASSERT_EQ(read(512), 12u);
    EXPECT_EQ(LoadLe32(&mBuffer[0]), kRedirectPid);
    EXPECT_EQ(LoadLe32(&mBuffer[4]), 0u);
    EXPECT_EQ(LoadLe32(&mBuffer[8]), pid);
    EXPECT_EQ(mBuffer[12], 0xAA);  // exactly the 4 bytes of the process id

    ASSERT_EQ(read(512), 8u + 14u);
    EXPECT_EQ(text(8), "third.example");
    EXPECT_EQ(LoadLe32(&mBuffer[4]), 6u);
    EXPECT_EQ(ZorvaneReadQueueLength(), 0u);
}

TEST_F(ReadQueueTest, EmptyQueueReadReportsCheckExitAfterTheTimeOut) {
    TestOs::setWaitCap(50ms);
    ASSERT_EQ(read(512), 4u);
    EXPECT_EQ(LoadLe32(&mBuffer[0]), kCheckExit);
    EXPECT_EQ(mBuffer[4], 0xAA);  // nothing else is written
    EXPECT_EQ(TestOs::lastWaitTimeout(), 200000000);
    EXPECT_TRUE(TestOs::logged("waiting for event\n"));
}

TEST_F(ReadQueueTest, RecordQueuedWhileAReadWaitsIsDeliveredAtOnce) {
    TestOs::setWaitCap(20s);
    std::vector<uint8_t> buffer(512, 0);
    std::atomic<uint32_t> written{0};
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        written = ZorvaneReadStep(buffer.data(), 512);
        done = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(done);
    notifyBlocked("late.example", 9);
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(written, 8u + 13u);
    EXPECT_EQ(LoadLe32(&buffer[0]), kSiteBlocked);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data() + 8)), "late.example");
}

TEST_F(ReadQueueTest, PayloadIsCutToTheCallersBuffer) {
    const std::string longHost(600, 'h');
    notifyBlocked(longHost, 1);
    ASSERT_EQ(read(512), 512u);
    EXPECT_EQ(text(8), std::string(503, 'h'));
    EXPECT_EQ(mBuffer[511], 0);
    EXPECT_EQ(mBuffer[512], 0xAA);  // the guard after the buffer is untouched

    notifyBlocked("short.example", 2);
    ASSERT_EQ(read(12), 12u);
    EXPECT_EQ(text(8), "sho");
    EXPECT_EQ(mBuffer[12], 0xAA);

    // Too short even for the record head: nothing written, nothing taken.
    notifyBlocked("kept.example", 3);
    EXPECT_EQ(read(7), 0u);
    EXPECT_EQ(mBuffer[0], 0xAA);
    EXPECT_EQ(ZorvaneReadQueueLength(), 1u);
    ASSERT_EQ(read(8), 8u);
    EXPECT_EQ(LoadLe32(&mBuffer[4]), 3u);
    EXPECT_EQ(mBuffer[8], 0xAA);
}

TEST_F(ReadQueueTest, OnlyNoticeCommandsAreQueued) {
    const uint32_t pid = 1;
    for (uint32_t cmd : {1u, 2u, 4u, 5u, 6u, 8u}) {
        TestOs::clearLog();
        SendNotification(cmd, 4, &pid, 0);
        EXPECT_TRUE(TestOs::logged("SendNotification - Illegal command\n")) << cmd;
    }
    SendNotification(kSiteBlocked, -1, "x", 0);
    SendNotification(kSiteBlocked, 3, nullptr, 0);
    EXPECT_EQ(ZorvaneReadQueueLength(), 0u);
}

TEST_F(ReadQueueTest, QueueIsBounded) {
    for (uint32_t i = 0; i < ZORVANE_READ_QUEUE_LIMIT + 2; ++i) {
        notifyBlocked("flood.example", i);
    }
    EXPECT_EQ(ZorvaneReadQueueLength(), ZORVANE_READ_QUEUE_LIMIT);
    EXPECT_TRUE(TestOs::logged("read record 3 dropped\n"));
    ASSERT_EQ(read(512), 8u + 14u);
    EXPECT_EQ(LoadLe32(&mBuffer[4]), 0u);  // the oldest records were kept
}

TEST_F(ReadQueueTest, UnloadingEndsAWaitingRead) {
    TestOs::setWaitCap(20s);
    std::vector<uint8_t> buffer(512, 0xAA);
    std::atomic<uint32_t> written{99};
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] { written = ZorvaneReadStep(buffer.data(), 512); });
    std::this_thread::sleep_for(30ms);
    ZorvaneUnloadReadQueue();
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_TRUE(TestOs::logged("CleanupWindowsDeviceIo unloading\n"));
}

TEST_F(ReadQueueTest, UnloadingDropsQueuedRecordsAndEveryLaterOne) {
    notifyBlocked("queued.example", 1);
    notifyBlocked("queued.example", 2);
    ZorvaneUnloadReadQueue();
    EXPECT_EQ(ZorvaneReadQueueLength(), 0u);
    notifyBlocked("after.example", 3);
    EXPECT_EQ(ZorvaneReadQueueLength(), 0u);
    EXPECT_EQ(read(512), 0u);
    EXPECT_EQ(mBuffer[0], 0xAA);
}

}  // namespace

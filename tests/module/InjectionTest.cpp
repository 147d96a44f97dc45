#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "FilterFixture.h"
#include "Injection.h"
#include "Packet.h"

namespace {

// Holds the first injection until opened, so that later packets queue up.
class InjectionGate {
public:
    InjectionGate() {
        TestOs::setBeforeInject([this] {
            std::unique_lock<std::mutex> lock(mMutex);
            mEntered = true;
            mChanged.notify_all();
            mChanged.wait(lock, [this] { return mOpen; });
        });
    }
    ~InjectionGate() {
        open();
        TestOs::setBeforeInject(nullptr);
    }
    void waitEntered() {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [this] { return mEntered; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mMutex);
        mOpen = true;
        mChanged.notify_all();
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    bool mEntered = false;
    bool mOpen = false;
};

std::vector<uint16_t> injectedPorts() {
    std::vector<uint16_t> ports;
    for (const TestOs::Injection& injection : TestOs::injections()) {
        ports.push_back(injection.sourcePort);
    }
    return ports;
}

bool released(uint16_t port) {
    const std::vector<uint16_t> ports = TestOs::releasedPorts();
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

using InjectionTest = FilterTest;

TEST_F(InjectionTest, QueuedPacketsAreInjectedInOrderByTheirLayer) {
    InjectionGate gate;
    ASSERT_TRUE(SendPacket(TestOs::makeTcpPacket(ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4, 1, 443)));
    gate.waitEntered();
    const uint32_t layers[] = {
        ZORVANE_LAYER_INBOUND_IPPACKET_V4, ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD,
        ZORVANE_LAYER_INBOUND_IPPACKET_V4_DISCARD, ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4};
    uint16_t port = 2;
    for (uint32_t layer : layers) {
        ASSERT_TRUE(SendPacket(TestOs::makeTcpPacket(layer, port++, 443)));
    }
    gate.open();
    ASSERT_TRUE(eventually([] { return TestOs::injections().size() == 5; }));
    EXPECT_EQ(injectedPorts(), (std::vector<uint16_t>{1, 2, 3, 4, 5}));
    const std::vector<TestOs::Injection> injections = TestOs::injections();
    EXPECT_FALSE(injections[0].receive);
    EXPECT_TRUE(injections[1].receive);
    EXPECT_FALSE(injections[2].receive);
    EXPECT_TRUE(injections[3].receive);
    EXPECT_TRUE(TestOs::logged("Injection transport 1 443\n"));
    EXPECT_TRUE(TestOs::logged("Injection IpPacket 2 443\n"));
}

TEST_F(InjectionTest, PacketsTheWorkerCannotInjectAreFreed) {
    TestOs::setInjectAccepted(false);
    ASSERT_TRUE(SendPacket(TestOs::makeTcpPacket(ZORVANE_LAYER_INBOUND_IPPACKET_V4, 7, 443)));
    // A layer the worker does not inject from.
    ASSERT_TRUE(SendPacket(TestOs::makeTcpPacket(12, 8, 443)));
    ASSERT_TRUE(eventually([] { return released(7) && released(8); }));
    EXPECT_TRUE(TestOs::injections().empty());
    EXPECT_TRUE(TestOs::logged("############Injection Failed##############\n"));
}

TEST_F(InjectionTest, StoppingRefusesNewPacketsAndDropsTheQueuedOnes) {
    InjectionGate gate;
    ASSERT_TRUE(SendPacket(TestOs::makeTcpPacket(ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4, 1, 443)));
    gate.waitEntered();
    ASSERT_TRUE(SendPacket(TestOs::makeTcpPacket(ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4, 2, 443)));
    ASSERT_TRUE(SendPacket(TestOs::makeTcpPacket(ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4, 3, 443)));

    std::thread stopper(ZorvaneStopInjectionWorker);
    // Stopping has begun once a packet is refused; the refused one stays ours.
    uint16_t latePort = 100;
    EXPECT_TRUE(eventually([&] {
        ZorvanePacket* late =
            TestOs::makeTcpPacket(ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4, latePort++, 443);
        if (SendPacket(late)) {
            return false;
        }
        ZorvaneFreePacket(late);
        return true;
    }));
    gate.open();
    stopper.join();

    EXPECT_EQ(injectedPorts(), (std::vector<uint16_t>{1}));
    EXPECT_TRUE(released(2));
    EXPECT_TRUE(released(3));
    EXPECT_FALSE(SendPacket(nullptr));  // still refused after the stop
}

}  // namespace

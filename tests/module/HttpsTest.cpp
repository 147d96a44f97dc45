#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BlockPool.h"
#include "ChildMaps.h"
#include "Classify.h"
#include "FilterConfig.h"
#include "FilterFixture.h"
#include "FlatPacket.h"
#include "HostVerdict.h"
#include "Https.h"
#include "HttpsPackets.h"
#include "ReadQueue.h"
#include "RecordBytes.h"

namespace {

constexpr uint32_t kChild = 5;
constexpr uint16_t kPort = 50000;

struct Record {
    uint32_t cmd;
    uint32_t value;
    std::string text;
};

class HttpsTest : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        ASSERT_EQ(AddToPortChildMap(kPort, kChild, 0), 1);
    }

    // Outbound through the transport classify; a packet the filter did not
    // take is freed as the platform would after carrying out the decision.
    static ZorvaneClassifyDecision out(const Bytes& ip) { return classify(ip, true); }
    static ZorvaneClassifyDecision in(const Bytes& ip) { return classify(ip, false); }

    static ZorvaneClassifyDecision classify(const Bytes& ip, bool outbound) {
        ZorvanePacket* packet = ZorvaneMakeFlatPacket(
            outbound ? ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4 : ZORVANE_LAYER_INBOUND_IPPACKET_V4,
            ip.data(), static_cast<uint32_t>(ip.size()));
        EXPECT_NE(packet, nullptr);
        ZorvaneClassifyDecision decision{};
        if (!ZorvaneClassifyHttpsPacket(packet, outbound, &decision)) {
            ZorvaneFreePacket(packet);
        }
        return decision;
    }

    static bool permitted(const ZorvaneClassifyDecision& d) {
        return d.decided && d.action == ZORVANE_ACTION_PERMIT;
    }
    static bool blocked(const ZorvaneClassifyDecision& d) {
        return d.decided && d.action == ZORVANE_ACTION_BLOCK && !d.absorb;
    }
    static bool absorbed(const ZorvaneClassifyDecision& d) {
        return d.decided && d.action == ZORVANE_ACTION_BLOCK && d.absorb;
    }

    static std::vector<Record> records() {
        std::vector<Record> out;
        while (ZorvaneReadQueueLength() > 0) {
            uint8_t buffer[512] = {};
            if (ZorvaneReadStep(buffer, sizeof(buffer)) < 12) {
                break;
            }
            out.push_back({LoadLe32(&buffer[0]), LoadLe32(&buffer[4]),
                           reinterpret_cast<const char*>(&buffer[8])});
        }
        return out;
    }
    static size_t countOf(const std::vector<Record>& all, uint32_t cmd) {
        size_t n = 0;
        for (const Record& r : all) {
            n += r.cmd == cmd ? 1 : 0;
        }
        return n;
    }

    static Segment hello(const std::string& host, uint16_t port = kPort, uint32_t seq = 1000) {
        Segment s;
        s.sourcePort = port;
        s.sequence = seq;
        s.payload = helloFor(host);
        return s;
    }
    static Bytes appData(uint16_t port = kPort, uint32_t seq = 5000, bool outbound = true) {
        Segment s;
        s.sequence = seq;
        s.payload = {23, 3, 3, 0, 3, 1, 2, 3};
        if (outbound) {
            s.sourcePort = port;
        } else {
            std::swap(s.source, s.destination);
            s.sourcePort = 443;
            s.destinationPort = port;
        }
        return s.bytes();
    }
    static Bytes serverHello(uint32_t payloadLength, uint16_t port = kPort) {
        Segment s;
        std::swap(s.source, s.destination);
        s.sourcePort = 443;
        s.destinationPort = port;
        s.payload.assign(payloadLength, 0x77);
        const Bytes head{22, 3, 3, 0, 0, 2};
        std::copy(head.begin(), head.end(), s.payload.begin());
        return s.bytes();
    }

    static void answer(const char* host, int32_t serviceStatus, uint32_t child = kChild) {
        ZorvaneApplyHostVerdict(child, host, ZorvaneHostStatusFromService(serviceStatus));
    }

    template <typename Change>
    static void configure(Change change) {
        OsLockHandle handle;
        change(&ZorvaneLockControlState(&handle)->config);
        ZorvaneUnlockControlState(&handle);
    }
};

TEST_F(HttpsTest, HostIsAskedOnceAndCachedVerdictServesWhileAskedAgain) {
    EXPECT_TRUE(permitted(out(hello("site.test").bytes())));
    std::vector<Record> asked = records();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].cmd, 2u);
    EXPECT_EQ(asked[0].value, kChild);
    EXPECT_EQ(asked[0].text, "site.test");

    // Data waits for the answer, then goes in order.
    EXPECT_TRUE(absorbed(out(appData(kPort, 5000))));
    EXPECT_TRUE(absorbed(out(appData(kPort, 5008))));
    EXPECT_EQ(ZorvaneHeldPacketCount(), 2u);
    answer("site.test", 0);
    ASSERT_TRUE(eventually([] { return TestOs::injections().size() == 2; }));
    EXPECT_EQ(TestOs::injections()[0].sequence, 5000u);
    EXPECT_EQ(TestOs::injections()[1].sequence, 5008u);
    EXPECT_FALSE(TestOs::injections()[0].receive);

    // Within 120 s nothing is asked; later the cached verdict keeps serving.
    TestOs::setSeconds(100);
    EXPECT_TRUE(permitted(out(hello("site.test").bytes())));
    EXPECT_TRUE(records().empty());
    TestOs::setSeconds(250);
    EXPECT_TRUE(permitted(out(hello("site.test").bytes())));
    EXPECT_EQ(records().size(), 1u);
    EXPECT_TRUE(permitted(out(appData())));
}

TEST_F(HttpsTest, VerdictsReleaseOrDropHeldData) {
    struct Case {
        int32_t service;
        bool injected;
        bool asksAgain;  // the next ClientHello asks again
    };
    const Case cases[] = {
        {0, true, false}, {1, false, false}, {2, true, true},  // allowed, not cacheable
        {3, false, true}, {77, false, true},                   // unknown: blocked, not cacheable
    };
    uint16_t port = 40000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.service);
        ++port;
        ASSERT_EQ(AddToPortChildMap(port, kChild, 0), 1);
        const std::string host = "h" + std::to_string(port) + ".test";
        const size_t before = TestOs::injections().size();
        out(hello(host, port).bytes());
        EXPECT_TRUE(absorbed(out(appData(port))));
        records();
        answer(host.c_str(), c.service);
        EXPECT_EQ(ZorvaneHeldPacketCount(), 0u);
        if (c.injected) {
            ASSERT_TRUE(eventually([&] { return TestOs::injections().size() == before + 1; }));
            EXPECT_TRUE(permitted(out(appData(port))));
        } else {
            const std::vector<Record> notices = records();
            EXPECT_EQ(countOf(notices, 3), 1u);
            EXPECT_TRUE(blocked(out(appData(port))));
            EXPECT_EQ(TestOs::injections().size(), before);
        }
        records();
        out(hello(host, port).bytes());
        EXPECT_EQ(countOf(records(), 2), c.asksAgain ? 1u : 0u);
    }
}

TEST_F(HttpsTest, AnswerForUnknownHostChangesNothing) {
    EXPECT_EQ(ZorvaneApplyHostVerdict(kChild, "never.asked", 0), 0);
    out(hello("site.test").bytes());
    EXPECT_EQ(ZorvaneApplyHostVerdict(kChild + 1, "site.test", 0), 0);  // another child's
    EXPECT_TRUE(absorbed(out(appData())));
}

TEST_F(HttpsTest, ProductDomainsAreAllowedWithoutAsking) {
    struct Case {
        const char* host;
        bool allowed;
    };
    const Case cases[] = {
        {"zorvane.com", true},     {"api.zorvane.com", true},        {"x.zorvanecloud.net", true},
        {"notzorvane.com", false}, {"zorvane.com.evil.test", false},
    };
    uint16_t port = 41000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        ++port;
        ASSERT_EQ(AddToPortChildMap(port, kChild, 0), 1);
        out(hello(c.host, port).bytes());
        EXPECT_EQ(countOf(records(), 2), c.allowed ? 0u : 1u);
        EXPECT_EQ(permitted(out(appData(port))), c.allowed);
    }
}

TEST_F(HttpsTest, NoInspectionForUnmappedPortsOtherPortsAndWindowsVersions) {
    // A port without a child, a child's connection to another port.
    Segment other = hello("site.test", 50001);
    EXPECT_TRUE(permitted(out(other.bytes())));
    Segment elsewhere = hello("site.test");
    elsewhere.destinationPort = 8443;
    EXPECT_TRUE(permitted(out(elsewhere.bytes())));
    EXPECT_TRUE(records().empty());

    for (const uint32_t version : {21u, 22u}) {
        configure([&](FilterConfig* c) { c->windowsVersion = version; });
        EXPECT_TRUE(permitted(out(hello("site.test").bytes())));
        EXPECT_TRUE(permitted(out(appData())));
        EXPECT_TRUE(permitted(in(serverHello(1400))));
    }
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(ZorvanePortListCount(), 0u);
}

TEST_F(HttpsTest, WithoutWriteRightOrForOwnInjectionsNothingIsDecided) {
    ZorvanePacket* packet = ZorvaneMakeFlatPacket(
        ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4, hello("site.test").bytes().data(),
        static_cast<uint32_t>(hello("site.test").bytes().size()));
    ASSERT_NE(packet, nullptr);
    ZorvaneClassifyInput input{};
    input.layer = ZORVANE_LAYER_OUTBOUND_TRANSPORT;
    input.packet = packet;
    ZorvaneClassifyDecision decision{};
    ZorvaneTransportClassify(&input, &decision);
    EXPECT_FALSE(decision.decided);

    input.writable = true;
    static_cast<ZorvaneFlatPacket*>(packet->netBufferList)->injected = true;
    ZorvaneTransportClassify(&input, &decision);
    EXPECT_TRUE(permitted(decision));
    EXPECT_TRUE(records().empty());
    ZorvaneFreePacket(packet);
}

TEST_F(HttpsTest, HelloWithoutNameLeavesDataBlockedAndIsLoggedOncePerConnection) {
    // The connection named an allowed host before; a nameless hello on the
    // same connection does not inherit it.
    out(hello("site.test").bytes());
    answer("site.test", 0);
    EXPECT_TRUE(permitted(out(appData())));

    records();
    const Bytes nameless = capturePackets("openssl-noname-1500")[0];
    const uint16_t port = static_cast<uint16_t>(nameless[20] << 8 | nameless[21]);
    ASSERT_EQ(AddToPortChildMap(port, kChild, 0), 1);
    TestOs::clearLog();
    EXPECT_TRUE(permitted(out(nameless)));
    EXPECT_TRUE(permitted(out(nameless)));  // sent again
    Segment broken = hello("a.test");
    broken.payload = clientHello(extension(0, serverNames({"a.test", "b.test"})));
    EXPECT_TRUE(permitted(out(broken.bytes())));

    const std::string log = TestOs::log();
    size_t lines = 0;
    for (size_t at = log.find("ClientHello without a server name"); at != std::string::npos;
         at = log.find("ClientHello without a server name", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 2u);  // the captured connection once, the broken one once
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(blocked(out(appData())));
}

TEST_F(HttpsTest, MultiSegmentHellosAreHeldUntilWholeThenSentInOrder) {
    for (const char* name : {"chromium-1500", "chromium-576", "curl-300", "gnutls-300"}) {
        SCOPED_TRACE(name);
        const std::vector<Bytes> packets = capturePackets(name);
        const uint16_t port = static_cast<uint16_t>(packets[0][20] << 8 | packets[0][21]);
        ASSERT_EQ(AddToPortChildMap(port, kChild, 0), 1);
        const size_t before = TestOs::injections().size();
        for (const Bytes& packet : packets) {
            EXPECT_TRUE(absorbed(out(packet)));
        }
        ASSERT_TRUE(
            eventually([&] { return TestOs::injections().size() == before + packets.size(); }));
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(TestOs::injections()[before + i].bytes, packets[i]);
        }
        // Asked the first time; every connection is bound to the host.
        const std::vector<Record> asked = records();
        if (std::string(name) == "chromium-1500") {
            ASSERT_EQ(asked.size(), 1u);
            EXPECT_EQ(asked[0].text, "allowed.test");
        }
        const ZorvaneConnKey key{port, 443, 0x0100007F};
        EXPECT_EQ(StatusOfPort(key), static_cast<int32_t>(ZORVANE_HOST_PENDING));
        EXPECT_EQ(ZorvaneHelloAssemblyCount(), 0u);
    }
}

TEST_F(HttpsTest, HelloSegmentsOutOfOrderOrSentAgain) {
    const std::vector<Bytes> packets = capturePackets("chromium-576");
    const uint16_t port = static_cast<uint16_t>(packets[0][20] << 8 | packets[0][21]);
    ASSERT_EQ(AddToPortChildMap(port, kChild, 0), 1);
    EXPECT_TRUE(absorbed(out(packets[0])));
    EXPECT_TRUE(blocked(out(packets[0])));  // a resend while the first is held
    EXPECT_TRUE(absorbed(out(packets[2])));
    EXPECT_TRUE(absorbed(out(packets[1])));
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(absorbed(out(packets[3])));
    EXPECT_EQ(records().size(), 1u);
    ASSERT_TRUE(eventually([] { return TestOs::injections().size() == 4; }));
}

TEST_F(HttpsTest, HelloThatNeverCompletesCountsAsNameless) {
    const std::vector<Bytes> packets = capturePackets("chromium-1500");
    const uint16_t port = static_cast<uint16_t>(packets[0][20] << 8 | packets[0][21]);
    ASSERT_EQ(AddToPortChildMap(port, kChild, 0), 1);
    EXPECT_TRUE(absorbed(out(packets[0])));
    TestOs::setSeconds(ZORVANE_HELLO_SECONDS);
    EXPECT_EQ(ZorvaneExpireHelloAssemblies(), 0u);
    TestOs::setSeconds(ZORVANE_HELLO_SECONDS + 1);
    ZorvaneHttpsHousekeeping();
    ASSERT_TRUE(eventually([] { return TestOs::injections().size() == 1; }));
    EXPECT_TRUE(TestOs::logged("ClientHello without a server name"));
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(ZorvanePortListCount(), 0u);

    // A hello claiming a whole 16 KiB record is held only so long, too.
    Segment big = hello("a.test", kPort);
    big.payload.resize(1400);
    big.payload[3] = 0x40;
    big.payload[4] = 0x00;
    EXPECT_TRUE(absorbed(out(big.bytes())));
    EXPECT_EQ(ZorvaneHelloAssemblyCount(), 1u);
    TestOs::setSeconds(2 * ZORVANE_HELLO_SECONDS + 3);
    ZorvaneHttpsHousekeeping();
    EXPECT_EQ(ZorvaneHelloAssemblyCount(), 0u);
}

TEST_F(HttpsTest, HelloAssembliesAreBounded) {
    // More connections opening hellos than assemblies: the oldest gives way.
    for (uint16_t i = 0; i <= ZORVANE_HELLO_MAX_ASSEMBLIES; ++i) {
        const uint16_t port = static_cast<uint16_t>(42000 + i);
        ASSERT_EQ(AddToPortChildMap(port, kChild, 0), 1);
        Segment start = hello(std::string(150, 'a') + ".test", port);
        start.payload.resize(100);  // the record goes on
        EXPECT_TRUE(absorbed(out(start.bytes())));
    }
    EXPECT_EQ(ZorvaneHelloAssemblyCount(), ZORVANE_HELLO_MAX_ASSEMBLIES);
    ASSERT_TRUE(eventually([] { return TestOs::injections().size() == 1; }));
    EXPECT_EQ(TestOs::injections()[0].sourcePort, 42000);

    // One connection sending more small segments than an assembly holds.
    Segment start = hello(std::string(200, 'a'), kPort, 1);
    const Bytes record = start.payload;
    start.payload.assign(record.begin(), record.begin() + 2);
    // Two bytes a segment; the record is longer than the segments allowed.
    uint32_t seq = 1;
    size_t offset = 0;
    ZorvaneClassifyDecision last{};
    for (uint32_t i = 0; i <= ZORVANE_HELLO_MAX_SEGMENTS; ++i) {
        Segment part = start;
        part.sequence = seq;
        part.payload.assign(record.begin() + static_cast<long>(offset),
                            record.begin() + static_cast<long>(offset + (i == 0 ? 6 : 2)));
        seq += static_cast<uint32_t>(part.payload.size());
        offset += part.payload.size();
        last = out(part.bytes());
    }
    EXPECT_TRUE(permitted(last));
    EXPECT_EQ(ZorvaneHelloAssemblyCount(), ZORVANE_HELLO_MAX_ASSEMBLIES - 1);
    EXPECT_EQ(countOf(records(), 2), 0u);
}

TEST_F(HttpsTest, HeldDataIsBoundedPerConnectionInTotalAndInAge) {
    out(hello("slow.test").bytes());
    for (uint32_t i = 0; i < ZORVANE_HELD_PER_CONNECTION + 2; ++i) {
        EXPECT_TRUE(absorbed(out(appData(kPort, 5000 + 8 * i))));
    }
    EXPECT_EQ(ZorvaneHeldPacketCount(), ZORVANE_HELD_PER_CONNECTION);
    EXPECT_TRUE(TestOs::logged("held packets over the bound: dropped 1 of port 50000"));
    answer("slow.test", 0);
    ASSERT_TRUE(
        eventually([] { return TestOs::injections().size() == ZORVANE_HELD_PER_CONNECTION; }));
    EXPECT_EQ(TestOs::injections()[0].sequence, 5000u + 16);  // the oldest two went

    // In total, over many connections.
    const uint32_t connections = ZORVANE_HELD_TOTAL / ZORVANE_HELD_PER_CONNECTION + 1;
    for (uint32_t c = 0; c < connections; ++c) {
        const auto port = static_cast<uint16_t>(43000 + c);
        ASSERT_EQ(AddToPortChildMap(port, kChild, 0), 1);
        out(hello("slow2.test", port).bytes());
        for (uint32_t i = 0; i < ZORVANE_HELD_PER_CONNECTION; ++i) {
            out(appData(port, 100 + i));
        }
    }
    EXPECT_EQ(ZorvaneHeldPacketCount(), ZORVANE_HELD_TOTAL);

    // In age.
    TestOs::setSeconds(ZORVANE_HELD_SECONDS + 1);
    ZorvaneHttpsHousekeeping();
    EXPECT_EQ(ZorvaneHeldPacketCount(), 0u);
    EXPECT_TRUE(TestOs::logged("held packets too old: dropped 1024"));
}

TEST_F(HttpsTest, BlockedNoticesAreRateLimitedPerChildAndHost) {
    out(hello("bad.test").bytes());
    answer("bad.test", 1);
    records();
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(blocked(out(appData())));
    }
    std::vector<Record> notices = records();
    ASSERT_EQ(notices.size(), 1u);

    TestOs::setSeconds(ZORVANE_BLOCK_NOTICE_SECONDS);
    EXPECT_TRUE(blocked(out(appData())));
    EXPECT_TRUE(blocked(out(appData())));
    notices = records();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].cmd, 3u);
    EXPECT_EQ(notices[0].value, kChild);
    EXPECT_EQ(notices[0].text, "bad.test");

    // Another child's verdict about the same host has its own notices.
    ASSERT_EQ(AddToPortChildMap(kPort + 1, kChild + 1, 0), 1);
    out(hello("bad.test", kPort + 1).bytes());
    answer("bad.test", 1, kChild + 1);
    records();
    EXPECT_TRUE(blocked(out(appData(kPort + 1))));
    EXPECT_EQ(countOf(records(), 3), 1u);
}

TEST_F(HttpsTest, IdleConnectionEntriesExpire) {
    out(hello("site.test").bytes());
    answer("site.test", 0);
    TestOs::setSeconds(ZORVANE_HTTPS_PORT_IDLE_SECONDS);
    EXPECT_TRUE(permitted(out(appData())));
    TestOs::setSeconds(2 * ZORVANE_HTTPS_PORT_IDLE_SECONDS + 1);
    EXPECT_TRUE(blocked(out(appData())));
    EXPECT_EQ(ZorvanePortListCount(), 0u);
    // The host entry without users goes at a later prune.
    TestOs::setSeconds(3 * ZORVANE_HTTPS_PORT_IDLE_SECONDS);
    out(hello("other.test").bytes());
    EXPECT_EQ(ZorvaneHostCount(), 1u);
}

TEST_F(HttpsTest, ConnectionsSharingALocalPortAreJudgedApart) {
    out(hello("good.test").bytes());
    answer("good.test", 0);
    Segment second = hello("bad.test");
    second.destination = 0x01020304;
    out(second.bytes());
    answer("bad.test", 1);
    EXPECT_TRUE(permitted(out(appData())));
    Segment data;
    data.destination = 0x01020304;
    data.payload = {23, 3, 3, 0, 1, 9};
    EXPECT_TRUE(blocked(out(data.bytes())));
}

TEST_F(HttpsTest, BlockedServerHelloBecomesTheBlockReply) {
    out(hello("bad.test").bytes());
    answer("bad.test", 1);
    const Bytes original = serverHello(1400);
    EXPECT_TRUE(absorbed(in(original)));
    ASSERT_TRUE(eventually([] { return TestOs::injections().size() == 1; }));
    const TestOs::Injection sent = TestOs::injections()[0];
    EXPECT_TRUE(sent.receive);
    const Bytes& ip = sent.bytes;
    ASSERT_EQ(ip.size(), 20u + 20u + 82u);
    EXPECT_EQ(ip[2] << 8 | ip[3], 122);
    EXPECT_EQ(IpHeaderChecksum(ip.data(), 20), 0);
    const uint32_t source =
        static_cast<uint32_t>(ip[12] << 24 | ip[13] << 16 | ip[14] << 8 | ip[15]);
    const uint32_t destination =
        static_cast<uint32_t>(ip[16] << 24 | ip[17] << 16 | ip[18] << 8 | ip[19]);
    EXPECT_EQ(tcp_sum_calc(102, source, destination, ip.data() + 20), 0);
    EXPECT_EQ(ip[33] & 0x01, 0x01);  // FIN
    EXPECT_EQ(ip[33] & ~0x01, original[33]);
    EXPECT_TRUE(std::equal(ip.begin() + 24, ip.begin() + 32, original.begin() + 24));  // seq, ack
    EXPECT_EQ(std::string(ip.begin() + 40, ip.begin() + 121), ZORVANE_BLOCK_REPLY);
    EXPECT_EQ(ip[121], 0);

    // Too short to carry the reply: dropped instead.
    EXPECT_TRUE(blocked(in(serverHello(82))));
    EXPECT_TRUE(blocked(in(serverHello(62))));
    EXPECT_TRUE(absorbed(in(serverHello(83))));
}

TEST_F(HttpsTest, InboundPacketsFollowTheHostStatus) {
    // No entry: blocked; pending: left to the platform; allowed: permitted.
    EXPECT_TRUE(blocked(in(appData(kPort, 1, false))));
    EXPECT_TRUE(blocked(in(serverHello(1400))));
    out(hello("site.test").bytes());
    const ZorvaneClassifyDecision pending = in(serverHello(1400));
    EXPECT_FALSE(pending.decided);
    answer("site.test", 2);
    EXPECT_TRUE(permitted(in(serverHello(1400))));
    EXPECT_TRUE(permitted(in(appData(kPort, 1, false))));
    Segment fromServerHello = hello("x.test");
    std::swap(fromServerHello.source, fromServerHello.destination);
    fromServerHello.sourcePort = 443;
    fromServerHello.destinationPort = kPort;
    EXPECT_TRUE(permitted(in(fromServerHello.bytes())));
}

TEST_F(HttpsTest, GetHostNameCopiesFromThePoolsAndFailsCleanly) {
    const Bytes record = helloFor("site.test");
    uint32_t length = 0;
    char* host = GetHostName(record.data(), static_cast<uint32_t>(record.size()), &length);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(std::string(host), "site.test");
    EXPECT_EQ(length, 9u);
    FreeMemory(host);
    const Bytes nameless = clientHello({}, false);
    EXPECT_EQ(GetHostName(nameless.data(), static_cast<uint32_t>(nameless.size()), &length),
              nullptr);
}

TEST_F(HttpsTest, UnloadFreesHeldPacketsAndAssemblies) {
    out(hello("site.test").bytes());
    EXPECT_TRUE(absorbed(out(appData())));
    const std::vector<Bytes> packets = capturePackets("chromium-1500");
    ASSERT_EQ(
        AddToPortChildMap(static_cast<uint16_t>(packets[0][20] << 8 | packets[0][21]), kChild, 0),
        1);
    EXPECT_TRUE(absorbed(out(packets[0])));
    // TearDown unloads and checks that every allocation came back.
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ChildMaps.h"
#include "Classify.h"
#include "FilterConfig.h"
#include "FilterFixture.h"
#include "ReadQueue.h"
#include "RecordBytes.h"

using namespace std::chrono_literals;

namespace {

constexpr char kChildSid[] = "S-1-5-21-100-200-300-1001";
constexpr char kOtherSid[] = "S-1-5-21-100-200-300-1002";
constexpr char kChildOneSid[] = "S-1-5-21-100-200-300-1003";
constexpr uint32_t kServer = 0x0A000005;  // 10.0.0.5
constexpr uint16_t kServerPort = 8081;
constexpr uint32_t kRedirectPid = 4321;
constexpr uint32_t kSite = 0xC0A80109;  // 192.168.1.9

class ClassifyTest : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        ASSERT_EQ(AddToWinUserMap(kChildSid, sizeof(kChildSid) - 1, 5), 1);
        ASSERT_EQ(AddToWinUserMap(kChildOneSid, sizeof(kChildOneSid) - 1, 1), 1);
        configure([](FilterConfig* c) {
            c->serverAddress = kServer;
            c->serverPort = kServerPort;
            c->serverSet = 1;
            c->redirectPid = kRedirectPid;
            c->deviceId = 9;
            c->currentChildId = 5;
        });
    }

    template <typename Change>
    void configure(Change change) {
        OsLockHandle handle;
        change(&ZorvaneLockControlState(&handle)->config);
        ZorvaneUnlockControlState(&handle);
    }

    static ZorvaneClassifyInput redirectInput(const char* sid, uint64_t pid, uint16_t port) {
        ZorvaneClassifyInput in{};
        in.layer = ZORVANE_LAYER_CONNECT_REDIRECT;
        in.writable = true;
        in.userSid = sid;
        in.hasProcessId = pid != 0;
        in.processId = pid;
        in.localAddress = 0x0A000002;
        in.localPort = 50000;
        in.remoteAddress = kSite;
        in.remotePort = port;
        return in;
    }

    static ZorvaneClassifyInput authInput(uint64_t pid, uint16_t localPort, uint16_t port,
                                          uint64_t flow, void* completion, uint32_t flags = 0) {
        ZorvaneClassifyInput in{};
        in.layer = ZORVANE_LAYER_AUTH_CONNECT;
        in.writable = true;
        in.hasProcessId = pid != 0;
        in.processId = pid;
        in.hasFlowHandle = flow != 0;
        in.flowHandle = flow;
        in.hasCompletionHandle = completion != nullptr;
        in.completionHandle = completion;
        in.flags = flags;
        in.localPort = localPort;
        in.remoteAddress = kSite;
        in.remotePort = port;
        return in;
    }

    static ZorvaneClassifyInput sendInput(uint64_t flow, const std::string& data,
                                          uint32_t flags = ZORVANE_STREAM_FLAG_SEND) {
        ZorvaneClassifyInput in{};
        in.layer = ZORVANE_LAYER_STREAM;
        in.writable = true;
        in.hasFlowHandle = flow != 0;
        in.flowHandle = flow;
        in.streamFlags = flags;
        in.data = reinterpret_cast<const uint8_t*>(data.data());
        in.dataLength = static_cast<uint32_t>(data.size());
        return in;
    }

    // Pulls every queued read record's (cmd, first data word).
    static std::vector<std::pair<uint32_t, uint32_t>> notices() {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        while (ZorvaneReadQueueLength() > 0) {
            uint8_t buffer[512] = {};
            if (ZorvaneReadStep(buffer, sizeof(buffer)) < 12) {
                break;
            }
            out.emplace_back(LoadLe32(&buffer[0]), LoadLe32(&buffer[8]));
        }
        return out;
    }

    int mHold = 0;  // its address is the platform's completion handle
};

TEST_F(ClassifyTest, ConnectRedirectSteersChildConnections) {
    struct Case {
        const char* name;
        const char* sid;
        uint64_t pid;
        uint64_t pidKnownAs;  // pid already in the map with child 5, or 0
        uint16_t port;
        bool redirected;  // target and PID entry set
        bool sentToServer;
    } cases[] = {
        {"child user, port 80", kChildSid, 700, 0, 80, true, true},
        {"child user, port 443", kChildSid, 701, 0, 443, true, false},
        {"unmapped user, unknown process", kOtherSid, 702, 0, 80, false, false},
        {"no token, known process", nullptr, 703, 703, 80, true, true},
        {"unmapped user, known process", kOtherSid, 704, 704, 80, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.pidKnownAs != 0) {
            AddToPidChildMap(c.pidKnownAs, 5);
        }
        ZorvaneClassifyInput in = redirectInput(c.sid, c.pid, c.port);
        ZorvaneClassifyDecision d;
        memset(&d, 0xCC, sizeof(d));
        ZorvaneAleConnectRedirectClassify(&in, &d);
        EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
        EXPECT_FALSE(d.absorb);
        EXPECT_EQ(d.setRedirectTarget, c.redirected);
        EXPECT_EQ(d.setRemote, c.sentToServer);
        if (c.redirected) {
            EXPECT_EQ(d.redirectTarget, kRedirectPid);
        }
        if (c.sentToServer) {
            EXPECT_EQ(d.remoteAddress, kServer);
            EXPECT_EQ(d.remotePort, kServerPort);
        }
        int found = 0;
        EXPECT_EQ(GetChildIdForPid(c.pid, &found), c.redirected ? 5u : 0u);
        EXPECT_EQ(found, c.redirected ? 1 : 0);
    }
    EXPECT_TRUE(TestOs::logged("ZorvaneAleConnectRedirectClassify redirecting connection\n"));
    EXPECT_TRUE(TestOs::logged("NEW dest Addr = 10.0.0.5\n"));
    EXPECT_TRUE(TestOs::logged("NEW dest Port = 8081\n"));
}

TEST_F(ClassifyTest, ConnectRedirectLeavesConnectionsItCannotChange) {
    // Without a writable request nothing changes and nothing is learned.
    ZorvaneClassifyInput in = redirectInput(kChildSid, 800, 80);
    in.writable = false;
    ZorvaneClassifyDecision d;
    ZorvaneAleConnectRedirectClassify(&in, &d);
    EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
    EXPECT_FALSE(d.setRemote);
    EXPECT_FALSE(d.setRedirectTarget);
    EXPECT_EQ(GetChildIdForPid(800), 0u);
}

TEST_F(ClassifyTest, NoRedirectToTheServerUntilItsAddressIsSet) {
    configure([](FilterConfig* c) {
        c->serverSet = 0;
        c->serverAddress = 0;
        c->serverPort = 0;
    });
    ZorvaneClassifyInput in = redirectInput(kChildSid, 810, 80);
    ZorvaneClassifyDecision d;
    ZorvaneAleConnectRedirectClassify(&in, &d);
    EXPECT_FALSE(d.setRemote);
    EXPECT_TRUE(d.setRedirectTarget);  // the child's connection is still its own
    EXPECT_EQ(GetChildIdForPid(810), 5u);
    EXPECT_TRUE(TestOs::logged("server address not set, not redirecting\n"));

    configure([](FilterConfig* c) {
        c->serverSet = 1;
        c->serverAddress = kServer;
        c->serverPort = kServerPort;
    });
    ZorvaneAleConnectRedirectClassify(&in, &d);
    EXPECT_TRUE(d.setRemote);
    EXPECT_EQ(d.remoteAddress, kServer);
}

TEST_F(ClassifyTest, AuthorisationBindsPortsOfKnownProcesses) {
    AddToPidChildMap(900, 5);
    struct Case {
        uint16_t localPort;
        uint16_t port;
        uint64_t flow;
        uint32_t childOfPort;  // 0: not bound
        uint32_t childOfFlow;
    } cases[] = {
        {40025, 25, 77, 0, 0},   // not HTTP: ignored
        {40080, 80, 78, 5, 5},   // bound with its flow
        {40443, 443, 79, 5, 0},  // bound by port only
        {40081, 80, 0, 5, 0},    // no flow handle from the platform
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        ZorvaneClassifyInput in = authInput(900, c.localPort, c.port, c.flow, &mHold);
        ZorvaneClassifyDecision d;
        ZorvaneAleAuthConnectClassify(&in, &d);
        EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
        EXPECT_FALSE(d.absorb);
        EXPECT_EQ(GetChildIdForPort(c.localPort), c.childOfPort);
        if (c.flow != 0) {
            EXPECT_EQ(GetChildIdForFlow(c.flow), c.childOfFlow);
        }
    }
    EXPECT_TRUE(TestOs::logged("ZorvaneAleAuthConnectClassify not HTTP destPosrt 25\n"));
    EXPECT_TRUE(TestOs::logged("ZorvaneAleAuthConnectClassify error no flowHandle\n"));
    EXPECT_EQ(TestOs::runWorkItems(), 0);
    EXPECT_TRUE(TestOs::completedOperations().empty());
}

TEST_F(ClassifyTest, WithoutAProcessThePortIsBoundByItsUser) {
    struct Case {
        const char* sid;
        uint16_t localPort;
        uint16_t port;
        uint64_t flow;
        uint32_t childOfPort;
        uint32_t childOfFlow;
    } cases[] = {
        {kChildSid, 41080, 80, 81, 5, 5},
        {kChildSid, 41443, 443, 82, 5, 0},  // HTTPS: by port only
        {kChildSid, 41025, 25, 83, 0, 0},   // not HTTP
        {kOtherSid, 41081, 80, 84, 0, 0},   // not in the map
        {kChildOneSid, 41082, 80, 85, 1, 1},
        {nullptr, 41083, 80, 86, 0, 0},  // neither user nor process
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.localPort);
        ZorvaneClassifyInput in = authInput(0, c.localPort, c.port, c.flow, &mHold);
        in.userSid = c.sid;
        ZorvaneClassifyDecision d;
        ZorvaneAleAuthConnectClassify(&in, &d);
        EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
        EXPECT_FALSE(d.absorb);
        EXPECT_EQ(GetChildIdForPort(c.localPort), c.childOfPort);
        EXPECT_EQ(GetChildIdForFlow(c.flow), c.childOfFlow);
    }
    // Nothing is held or looked up: the user is already known.
    EXPECT_EQ(TestOs::runWorkItems(), 0);
    EXPECT_TRUE(TestOs::completedOperations().empty());
}

TEST_F(ClassifyTest, FirstConnectionIsHeldUntilItsProcessIsKnown) {
    TestOs::setProcessUser(1000, kChildSid);
    ZorvaneClassifyInput first = authInput(1000, 41000, 80, 55, &mHold);
    ZorvaneClassifyDecision d;
    ZorvaneAleAuthConnectClassify(&first, &d);
    EXPECT_EQ(d.action, ZORVANE_ACTION_BLOCK);
    EXPECT_TRUE(d.absorb);
    EXPECT_EQ(ZorvaneHeldCount(), 1u);
    EXPECT_TRUE(TestOs::completedOperations().empty());

    EXPECT_EQ(TestOs::runWorkItems(), 1);
    EXPECT_EQ(TestOs::completedOperations(), std::vector<void*>{&mHold});
    EXPECT_EQ(ZorvaneHeldCount(), 0u);
    EXPECT_EQ(GetChildIdForPid(1000), 5u);
    EXPECT_TRUE(TestOs::logged("populateSidForPid S-1-5-21-100-200-300-1001 5 41000 1000\n"));
    EXPECT_TRUE(TestOs::logged("reinjecting ale packet\n"));

    // The engine authorises again: now the port is bound with the flow.
    ZorvaneClassifyInput again = authInput(1000, 41000, 80, 55, &mHold, ZORVANE_FLAG_REAUTHORIZE);
    ZorvaneAleAuthConnectClassify(&again, &d);
    EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
    EXPECT_FALSE(d.absorb);
    EXPECT_EQ(GetChildIdForFlow(55), 5u);
    EXPECT_EQ(TestOs::runWorkItems(), 0);
}

TEST_F(ClassifyTest, LookupsThatFindNoChildLeaveTheProcessUnmapped) {
    struct Case {
        const char* name;
        uint64_t pid;
        std::string user;  // "-": no such process
        const char* line;
    } cases[] = {
        {"child 1", 1101, kChildOneSid, "populateSidForPid S-1-5-21-100-200-300-1003 1 "},
        {"unmapped user", 1102, kOtherSid, "populateSidForPid S-1-5-21-100-200-300-1002 0 "},
        {"process gone", 1103, "-", "ZwOpenProcess STATUS_INVALID_CID\n"},
        {"no token", 1104, "", "ZwOpenProcessTokenEx failed!!!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestOs::clearLog();
        if (c.user != "-") {
            TestOs::setProcessUser(c.pid, c.user);
        }
        const auto completedBefore = TestOs::completedOperations().size();
        ZorvaneClassifyInput in = authInput(c.pid, 42000, 80, 66, &mHold);
        ZorvaneClassifyDecision d;
        ZorvaneAleAuthConnectClassify(&in, &d);
        EXPECT_TRUE(d.absorb);
        EXPECT_EQ(TestOs::runWorkItems(), 1);
        EXPECT_TRUE(TestOs::logged(c.line));
        EXPECT_EQ(TestOs::completedOperations().size(), completedBefore + 1);
        EXPECT_EQ(GetChildIdForPid(c.pid), 0u);
        EXPECT_EQ(GetChildIdForPort(42000), 0u);

        // The repeated authorisation looks up once more, without holding.
        ZorvaneClassifyInput again =
            authInput(c.pid, 42000, 80, 66, &mHold, ZORVANE_FLAG_REAUTHORIZE);
        ZorvaneAleAuthConnectClassify(&again, &d);
        EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
        EXPECT_EQ(TestOs::runWorkItems(), 1);
        EXPECT_EQ(TestOs::completedOperations().size(), completedBefore + 1);
    }
}

TEST_F(ClassifyTest, HoldRefusedOrNoMemoryLetsTheConnectionGo) {
    TestOs::setProcessUser(1200, kChildSid);
    TestOs::setPendAccepted(false);
    ZorvaneClassifyInput in = authInput(1200, 43000, 80, 88, &mHold);
    ZorvaneClassifyDecision d;
    ZorvaneAleAuthConnectClassify(&in, &d);
    EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
    EXPECT_FALSE(d.absorb);
    EXPECT_TRUE(TestOs::logged("FwpsPendOperation0 failed\n"));
    EXPECT_EQ(TestOs::runWorkItems(), 0);
}

TEST_F(ClassifyTest, HeldConnectionIsReleasedUnmappedAfterFiveSeconds) {
    TestOs::setWaitCap(5ms);
    TestOs::setProcessUser(1300, kChildSid);
    TestOs::setSeconds(100);
    ZorvaneClassifyInput in = authInput(1300, 44000, 80, 99, &mHold);
    ZorvaneClassifyDecision d;
    ZorvaneAleAuthConnectClassify(&in, &d);
    ASSERT_TRUE(d.absorb);

    TestOs::setSeconds(104);
    EXPECT_EQ(ZorvaneReleaseStaleHolds(), 0);
    EXPECT_TRUE(TestOs::completedOperations().empty());

    TestOs::setSeconds(105);  // the sweeper finds it on its own
    EXPECT_TRUE(eventually([] { return TestOs::completedOperations().size() == 1; }));
    EXPECT_TRUE(
        TestOs::logged("process lookup of 1300 took too long, releasing connection unmapped\n"));
    EXPECT_EQ(ZorvaneHeldCount(), 0u);

    // The late work item still learns the process but does not complete twice.
    EXPECT_EQ(TestOs::runWorkItems(), 1);
    EXPECT_EQ(TestOs::completedOperations().size(), 1u);
    EXPECT_FALSE(TestOs::logged("reinjecting ale packet\n"));
    EXPECT_EQ(GetChildIdForPid(1300), 5u);
}

TEST_F(ClassifyTest, UnloadReleasesConnectionsStillHeld) {
    TestOs::setProcessUser(1400, kChildSid);
    ZorvaneClassifyInput in = authInput(1400, 45000, 80, 111, &mHold);
    ZorvaneClassifyDecision d;
    ZorvaneAleAuthConnectClassify(&in, &d);
    ASSERT_TRUE(d.absorb);
    std::atomic<bool> stopped{false};
    std::thread unload([&] {
        ZorvaneStopLookups();
        stopped = true;
    });
    EXPECT_TRUE(eventually([] { return TestOs::completedOperations().size() == 1; }));
    EXPECT_EQ(TestOs::completedOperations(), std::vector<void*>{&mHold});
    // The queued lookup still uses the maps, so stopping waits for it.
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(TestOs::runWorkItems(), 1);
    unload.join();
    EXPECT_EQ(TestOs::completedOperations().size(), 1u);
    ASSERT_EQ(ZorvaneStartLookups(), 1);
}

TEST_F(ClassifyTest, RedirectNoticeOnlyForAnotherTarget) {
    struct Case {
        uint64_t target;
        bool notice;
    } cases[] = {{kRedirectPid, false}, {5555, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        ZorvaneClassifyInput in = authInput(0, 46000, 25, 0, nullptr);
        in.hasRedirectTarget = true;
        in.redirectTarget = c.target;
        ZorvaneClassifyDecision d;
        ZorvaneAleAuthConnectClassify(&in, &d);
        EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
        EXPECT_EQ(GetChildIdForPid(c.target), 5u);  // the current child
        const auto sent = notices();
        if (c.notice) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].first, 7u);
            EXPECT_EQ(sent[0].second, c.target);
        } else {
            EXPECT_TRUE(sent.empty());
        }
    }
    EXPECT_TRUE(TestOs::logged("NotifyRedirectPID 5555\n"));
}

TEST(HttpRequestTest, MethodTokensAndNearMisses) {
    struct Case {
        const char* text;
        bool request;
    } cases[] = {
        {"GET / HTTP/1.1", true},    {"POST /f HTTP/1.1", true},
        {"PUT /x HTTP/1.1", true},   {"CONNECT a:443 HTTP/1.1", true},
        {"HEAD / HTTP/1.1", true},   {"DELETE /x HTTP/1.1", true},
        {"TRACE / HTTP/1.1", true},  {"OPTIONS * HTTP/1.1", true},
        {"get / HTTP/1.1", false},   {"POSTX / HTTP/1.1", false},
        {"GET/ HTTP/1.1", false},    {"GE", false},
        {"PATCH / HTTP/1.1", false}, {"", false},
        {"xGET / HTTP/1.1", false},  {"Get / HTTP/1.1", false},
        {"PUTS / HTTP/1.1", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsHttpRequest(c.text), c.request) << c.text;
    }
    EXPECT_FALSE(IsHttpRequest(nullptr));
}

TEST_F(ClassifyTest, RequestsOfChildFlowsAreTagged) {
    AddToPortChildMap(47000, 5, 321);
    AddToPortChildMap(47443, 5, 0);  // an HTTPS connection: bound by port only
    const std::string request = "GET /index.html HTTP/1.1\r\nHost: site\r\n\r\n";
    const std::vector<uint8_t> tag = {0x80, 0x19, 0x26, 0x04, 0x21, 0x01, 0x04, 0xFE,
                                      0x05, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
    ZorvaneClassifyInput in = sendInput(321, request);
    ZorvaneClassifyDecision d;
    ZorvaneStreamClassify(&in, &d);
    EXPECT_EQ(d.action, ZORVANE_ACTION_BLOCK);
    EXPECT_EQ(d.bytesEnforced, request.size() + 16);
    const auto sent = TestOs::streamInjections();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].flowHandle, 321u);
    std::vector<uint8_t> expected = tag;
    expected.insert(expected.end(), request.begin(), request.end());
    EXPECT_EQ(sent[0].bytes, expected);

    struct Case {
        const char* name;
        ZorvaneClassifyInput input;
    };
    const std::string body = "name=value&more=1";
    const std::string split = "GE";
    Case untouched[] = {
        {"body continuation", sendInput(321, body)},
        {"method split across sends", sendInput(321, split)},
        {"flow not in the port map", sendInput(654, request)},
        {"no flow handle", sendInput(0, request)},
        {"receive", sendInput(321, request, 0)},
        {"empty send", sendInput(321, "")},
    };
    for (const Case& c : untouched) {
        SCOPED_TRACE(c.name);
        ZorvaneStreamClassify(&c.input, &d);
        EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
        EXPECT_EQ(d.bytesEnforced, 0u);
    }
    EXPECT_EQ(TestOs::streamInjections().size(), 1u);
}

TEST_F(ClassifyTest, FailedTaggingLetsTheRequestPassUntagged) {
    AddToPortChildMap(48000, 5, 432);
    const std::string request = "POST /form HTTP/1.1\r\n\r\n";
    struct Case {
        const char* name;
        E_OsStreamInject result;
        int allocations;  // -1: no failure
        const char* line;
    } cases[] = {
        {"no list", OS_STREAM_NO_LIST, -1, "FwpsAllocateNetBufferAndNetBufferList failed\n"},
        {"inject refused", OS_STREAM_INJECT_FAILED, -1, "FwpsStreamInjectAsync failed\n"},
        {"no memory for the copy", OS_STREAM_INJECTED, 0, "AddZorvHeader failed\n"},
        {"no memory for the tag", OS_STREAM_INJECTED, 1, "AddZorvHeader failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestOs::clearLog();
        TestOs::setStreamInjectResult(c.result);
        ZorvaneClassifyInput in = sendInput(432, request);
        ZorvaneClassifyDecision d;
        TestOs::failAllocationsAfter(c.allocations);
        ZorvaneStreamClassify(&in, &d);
        TestOs::failAllocationsAfter(-1);
        EXPECT_EQ(d.action, ZORVANE_ACTION_PERMIT);
        EXPECT_EQ(d.bytesEnforced, 0u);
        EXPECT_TRUE(TestOs::logged(c.line));
    }
    EXPECT_TRUE(TestOs::streamInjections().empty());
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ChildMaps.h"
#include "FilterFixture.h"

namespace {

using MapsTest = FilterTest;

std::vector<uint64_t> pidOrder() {
    std::vector<uint64_t> pids(64);
    pids.resize(ZorvaneListPidMap(pids.data(), static_cast<uint32_t>(pids.size())));
    return pids;
}

std::vector<uint16_t> portOrder() {
    std::vector<uint16_t> ports(64);
    ports.resize(ZorvaneListPortMap(ports.data(), static_cast<uint32_t>(ports.size())));
    return ports;
}

TEST_F(MapsTest, SidMapMatchesExactlyAndCaseSensitively) {
    const char* sid = "S-1-5-21-1004336348-1177238915-682003330-1001";
    ASSERT_EQ(AddToWinUserMap(sid, static_cast<uint32_t>(strlen(sid)), 5), 1);
    int found = -1;
    EXPECT_EQ(GetChildIdForSid(sid, &found), 5u);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(GetChildIdForSid("s-1-5-21-1004336348-1177238915-682003330-1001", &found), 0u);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(GetChildIdForSid("S-1-5-21-1004336348-1177238915-682003330-100", &found), 0u);
    EXPECT_EQ(GetChildIdForSid("S-1-5-21-1004336348-1177238915-682003330-10011"), 0u);

    // The same SID again only changes its child; a prefix is another SID.
    ASSERT_EQ(AddToWinUserMap(sid, static_cast<uint32_t>(strlen(sid)), 6), 1);
    ASSERT_EQ(AddToWinUserMap(sid, 8, 7), 1);
    EXPECT_EQ(ZorvaneSidMapSize(), 2u);
    EXPECT_EQ(GetChildIdForSid(sid), 6u);
    EXPECT_EQ(GetChildIdForSid("S-1-5-21"), 7u);
    EXPECT_TRUE(TestOs::logged("######### WinUser Map DUMP ###########\n"));

    EXPECT_EQ(AddToWinUserMap(nullptr, 4, 1), 0);
    EXPECT_EQ(AddToWinUserMap(sid, 0, 1), 0);
    CleanupWinUserMap();
    EXPECT_EQ(ZorvaneSidMapSize(), 0u);
    EXPECT_EQ(GetChildIdForSid(sid, &found), 0u);
    EXPECT_EQ(found, 0);
}

TEST_F(MapsTest, PidMapIsDescendingAndALookupStopsAtTheFirstSmallerPid) {
    ASSERT_EQ(AddToPidChildMap(10, 1), 1);
    ASSERT_EQ(AddToPidChildMap(30, 3), 1);
    ASSERT_EQ(AddToPidChildMap(20, 2), 1);
    EXPECT_EQ(pidOrder(), (std::vector<uint64_t>{30, 20, 10}));
    int found = -1;
    EXPECT_EQ(GetChildIdForPid(15, &found), 0u);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(GetChildIdForPid(20, &found), 2u);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(GetChildIdForPid(0, &found), 0u);
    EXPECT_EQ(found, 0);
    ASSERT_EQ(AddToPidChildMap(20, 8), 1);
    ASSERT_EQ(AddToPidChildMap(0x100000000ull, 9), 1);  // 64-bit ids
    EXPECT_EQ(pidOrder(), (std::vector<uint64_t>{0x100000000ull, 30, 20, 10}));
    EXPECT_EQ(GetChildIdForPid(20), 8u);
    CleanupPidChildMap();
    EXPECT_TRUE(pidOrder().empty());
}

TEST_F(MapsTest, PidMapPrunesOnlyFromAnAddMoreThanSevenMinutesAfterTheLastPrune) {
    AddToPidChildMap(1, 5);  // minute 0
    TestOs::setMinutes(2);
    AddToPidChildMap(2, 5);
    TestOs::setMinutes(3);
    AddToPidChildMap(3, 5);
    TestOs::setMinutes(7);
    AddToPidChildMap(4, 5);  // 7 minutes since the last prune: not yet
    EXPECT_EQ(pidOrder(), (std::vector<uint64_t>{4, 3, 2, 1}));

    TestOs::setMinutes(8);
    EXPECT_EQ(GetChildIdForPid(1), 5u);  // lookups refresh, never prune
    EXPECT_EQ(pidOrder().size(), 4u);
    AddToPidChildMap(9, 5);
    // Idle 8 (refreshed at 8: 0), 6 and 5 minutes: pid 2 goes, 3 stays.
    EXPECT_EQ(pidOrder(), (std::vector<uint64_t>{9, 4, 3, 1}));
    EXPECT_TRUE(TestOs::logged("pid removed count 1 total 5\n"));

    TestOs::setMinutes(15);
    AddToPidChildMap(10, 5);  // 7 minutes after the prune at 8: not yet
    EXPECT_EQ(pidOrder().size(), 5u);
    TestOs::setMinutes(16);
    AddToPidChildMap(11, 5);
    EXPECT_EQ(pidOrder(), (std::vector<uint64_t>{11, 10}));
}

TEST_F(MapsTest, PortMapAgesEntriesIdleMoreThan240SecondsEvery300Seconds) {
    AddToPortChildMap(1000, 5, 0);  // second 0
    TestOs::setSeconds(60);
    AddToPortChildMap(1001, 5, 0);
    TestOs::setSeconds(61);
    AddToPortChildMap(1002, 5, 0);
    AddToPortChildMap(1003, 5, 77);
    TestOs::setSeconds(300);
    AddToPortChildMap(999, 5, 0);  // 300 seconds since the last prune: not yet
    EXPECT_EQ(portOrder(), (std::vector<uint16_t>{1003, 1002, 1001, 1000, 999}));

    TestOs::setSeconds(301);
    EXPECT_EQ(GetChildIdForFlow(77), 5u);  // a flow lookup does not refresh
    EXPECT_EQ(GetChildIdForPort(1000), 5u);
    AddToPortChildMap(2000, 6, 0);
    // Idle: 1000 refreshed, 1001 241 s, 1002 and 1003 240 s, 999 1 s.
    EXPECT_EQ(portOrder(), (std::vector<uint16_t>{2000, 1003, 1002, 1000, 999}));
    EXPECT_TRUE(TestOs::logged("port removed count 1 total 6\n"));
}

TEST_F(MapsTest, PortMapLookupsByPortAndByFlow) {
    ASSERT_EQ(AddToPortChildMap(50000, 5, 0xABCDEF0123ull), 1);
    ASSERT_EQ(AddToPortChildMap(50001, 6, 0), 1);
    ASSERT_EQ(AddToPortChildMap(40000, 7, 42), 1);
    EXPECT_EQ(portOrder(), (std::vector<uint16_t>{50001, 50000, 40000}));
    EXPECT_EQ(GetChildIdForPort(50000), 5u);
    EXPECT_EQ(GetChildIdForPort(45000), 0u);
    EXPECT_EQ(GetChildIdForPort(0), 0u);
    EXPECT_EQ(GetChildIdForFlow(0xABCDEF0123ull), 5u);
    EXPECT_EQ(GetChildIdForFlow(42), 7u);
    EXPECT_EQ(GetChildIdForFlow(0), 0u);  // port 50001 has no flow
    EXPECT_EQ(GetChildIdForFlow(43), 0u);

    // A later connection reusing the port takes it over, flow and all.
    ASSERT_EQ(AddToPortChildMap(50000, 8, 99), 1);
    EXPECT_EQ(GetChildIdForPort(50000), 8u);
    EXPECT_EQ(GetChildIdForFlow(0xABCDEF0123ull), 0u);
    EXPECT_EQ(GetChildIdForFlow(99), 8u);
    EXPECT_EQ(portOrder().size(), 3u);
}

}  // namespace

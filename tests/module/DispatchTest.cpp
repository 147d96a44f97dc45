#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ChildMaps.h"
#include "Dispatch.h"
#include "FilterConfig.h"
#include "FilterFixture.h"
#include "HostVerdict.h"
#include "RecordBytes.h"
#include "RequestRecords.h"

namespace {

constexpr uint32_t kToken = ZORVANE_AUTH_CHALLENGE;

class DispatchTest : public FilterTest {
protected:
    // Sends `input` through a buffered transfer with `outputLength` bytes of
    // output room; the buffer after the call is in mReply.
    int32_t call(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength = 512) {
        mReply = input;
        mReply.resize(std::max<size_t>(input.size(), outputLength));
        return DispatchIoctl(code, mReply.data(), static_cast<uint32_t>(input.size()),
                             outputLength);
    }

    void openLock() {
        ASSERT_EQ(call(ZORVANE_IOCTL_GET_CHALLENGE, RecordBytes().u32(0).bytes()), 4);
        ASSERT_EQ(call(ZORVANE_IOCTL_SEND_RESPONSE, RecordBytes().u32(kToken).bytes()), 1);
        ASSERT_EQ(mReply[0], ZORVANE_RESPONSE_ACCEPTED);
    }

    std::vector<uint16_t> unblockedPorts() {
        FilterConfig config;
        ZorvaneGetConfig(&config);
        return std::vector<uint16_t>(config.unblockedPorts,
                                     config.unblockedPorts + config.unblockedPortCount);
    }

    int32_t portOptions(uint32_t block, const std::vector<uint16_t>& ports) {
        RecordBytes record;
        record.u32(kToken).u32(block).u32(static_cast<uint32_t>(ports.size()));
        for (uint16_t port : ports) {
            record.u16(port);
        }
        return call(ZORVANE_IOCTL_PORT_OPTIONS, record.bytes());
    }

    std::vector<uint8_t> mReply;
};

struct ConfigCode {
    uint32_t code;
    std::vector<uint8_t> record;
};

// A well-formed record for every code that passes the token test.
std::vector<ConfigCode> configurationCodes(uint32_t token) {
    return {
        {ZORVANE_IOCTL_SET_USER,
         RecordBytes().u32(token).u32(5).u16(1).u16(1).text("S-1-5").bytes()},
        {ZORVANE_IOCTL_SET_KEY, RecordBytes().u32(token).u32(1).raw(16, 7).bytes()},
        {ZORVANE_IOCTL_ENABLE_FILTER, RecordBytes().u32(token).u32(1).bytes()},
        {ZORVANE_IOCTL_SET_HTTPS_OPTIONS, RecordBytes().u32(token).u32(3).bytes()},
        {ZORVANE_IOCTL_PORT_OPTIONS, RecordBytes().u32(token).u32(0).u32(1).u16(80).bytes()},
        {ZORVANE_IOCTL_GET_UNBLOCKED_PORTS, RecordBytes().u32(token).u32(4).raw(8).bytes()},
        {ZORVANE_IOCTL_SET_SERVER_ADDRESS,
         RecordBytes().u32(token).u32(0x0A000001).u32(0x0A000002).u16(8080).u16(8081).bytes()},
        {ZORVANE_IOCTL_GET_MODULE_STATUS, RecordBytes().u32(token).u32(0).bytes()},
        {ZORVANE_IOCTL_SET_DEVICE_CMD, RecordBytes().u32(token).u32(9).bytes()},
        {ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD, RecordBytes().u32(token).u32(0x7F000001).bytes()},
        {ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD, RecordBytes().u32(token).u32(0).bytes()},
        {ZORVANE_IOCTL_SET_CURRENT_USER_CMD, RecordBytes().u32(token).u32(5).bytes()},
        {ZORVANE_IOCTL_SET_REDIRECT_PID_CMD, RecordBytes().u32(token).u32(4321).bytes()},
        {ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD, RecordBytes().u32(token).u32(10).bytes()},
    };
}

TEST_F(DispatchTest, ChallengeAndMatchingResponseOpenTheLockOnce) {
    EXPECT_EQ(call(ZORVANE_IOCTL_SEND_RESPONSE, RecordBytes().u32(kToken).bytes()), -1);
    EXPECT_TRUE(TestOs::logged("failed as auth is not initiated\n"));

    ASSERT_EQ(call(ZORVANE_IOCTL_GET_CHALLENGE, RecordBytes().u32(0).bytes()), 4);
    EXPECT_EQ(LoadLe32(&mReply[0]), 7305u);
    EXPECT_EQ(ZorvaneGetAuthState(), AUTH_STATE_CHALLENGED);
    EXPECT_EQ(call(ZORVANE_IOCTL_ENABLE_FILTER, RecordBytes().u32(kToken).u32(1).bytes()), -1);

    ASSERT_EQ(call(ZORVANE_IOCTL_SEND_RESPONSE, RecordBytes().u32(kToken).bytes()), 1);
    EXPECT_EQ(mReply[0], 0);
    EXPECT_EQ(ZorvaneGetAuthState(), AUTH_STATE_OPEN);
    // A second response finds the state no longer challenged; the lock stays open.
    EXPECT_EQ(call(ZORVANE_IOCTL_SEND_RESPONSE, RecordBytes().u32(kToken).bytes()), -1);
    EXPECT_EQ(ZorvaneGetAuthState(), AUTH_STATE_OPEN);
    for (const ConfigCode& c : configurationCodes(kToken)) {
        SCOPED_TRACE(ZorvaneIoctlName(c.code));
        EXPECT_GE(call(c.code, c.record), 0);
    }
    // Another token than the challenge is refused even with the lock open.
    for (const ConfigCode& c : configurationCodes(kToken + 1)) {
        SCOPED_TRACE(ZorvaneIoctlName(c.code));
        EXPECT_EQ(call(c.code, c.record), -1);
    }
}

TEST_F(DispatchTest, WrongResponseLeavesEveryConfigurationCodeFailingUntilANewChallenge) {
    ASSERT_EQ(call(ZORVANE_IOCTL_GET_CHALLENGE, RecordBytes().u32(0).bytes()), 4);
    ASSERT_EQ(call(ZORVANE_IOCTL_SEND_RESPONSE, RecordBytes().u32(1234).bytes()), 1);
    EXPECT_EQ(mReply[0], 255);
    EXPECT_EQ(ZorvaneGetAuthState(), AUTH_STATE_ANSWERED_WRONGLY);
    for (const ConfigCode& c : configurationCodes(kToken)) {
        SCOPED_TRACE(ZorvaneIoctlName(c.code));
        EXPECT_EQ(call(c.code, c.record), -1);
    }
    EXPECT_EQ(ZorvaneSidMapSize(), 0u);
    // The right answer now fails too: the state is no longer "challenged".
    EXPECT_EQ(call(ZORVANE_IOCTL_SEND_RESPONSE, RecordBytes().u32(kToken).bytes()), -1);
    openLock();
    EXPECT_EQ(call(ZORVANE_IOCTL_ENABLE_FILTER, RecordBytes().u32(kToken).u32(1).bytes()), 1);
}

TEST_F(DispatchTest, CodesWithoutTokenTest) {
    ASSERT_EQ(call(ZORVANE_IOCTL_GET_VERSION, RecordBytes().raw(8).bytes()), 8);
    EXPECT_EQ(LoadLe32(&mReply[0]), 2u);
    EXPECT_EQ(LoadLe32(&mReply[4]), 0u);
    EXPECT_TRUE(TestOs::logged("ZORVANE_IOCTL_GET_VERSION called \n"));
    EXPECT_TRUE(TestOs::logged("version assigned\n"));
    // A verdict needs no token; with no host entry nothing is released.
    EXPECT_EQ(call(ZORVANE_IOCTL_HTTPS_BLOCKED,
                   RecordBytes().u32(0).u32(2).u32(5).text("example.org").bytes()),
              0);
}

TEST_F(DispatchTest, UnknownCodesFail) {
    for (uint32_t code : {ZORVANE_IOCTL_CLEAR_USERS, 0x9C402430u, 0u, ZorvaneIoctlCode(2323)}) {
        TestOs::clearLog();
        EXPECT_EQ(call(code, RecordBytes().u32(kToken).u32(0).bytes()), -1);
        EXPECT_TRUE(TestOs::logged("Un-Recognized IOCTL call\n"));
    }
}

TEST_F(DispatchTest, ModuleStatusReportsTheFilterFlagAsZeroOrOne) {
    openLock();
    for (uint32_t enable : {5u, 0u, 1u}) {
        ASSERT_EQ(call(ZORVANE_IOCTL_ENABLE_FILTER, RecordBytes().u32(kToken).u32(enable).bytes()),
                  1);
        ASSERT_EQ(call(ZORVANE_IOCTL_GET_MODULE_STATUS, RecordBytes().u32(kToken).u32(0).bytes()),
                  8);
        EXPECT_EQ(LoadLe32(&mReply[4]), enable != 0 ? 1u : 0u);
    }
}

TEST_F(DispatchTest, ConfigurationCodesStoreTheirValues) {
    openLock();
    for (const ConfigCode& c : configurationCodes(kToken)) {
        ASSERT_GE(call(c.code, c.record), 0) << ZorvaneIoctlName(c.code);
    }
    FilterConfig config;
    ZorvaneGetConfig(&config);
    EXPECT_EQ(config.keySet, 1u);
    EXPECT_EQ(config.key[15], 7);
    EXPECT_EQ(config.httpsOptions, 3u);
    EXPECT_EQ(config.serverAddress, 0x0A000001u);
    EXPECT_EQ(config.altServerAddress, 0x0A000002u);
    EXPECT_EQ(config.serverPort, 8080);
    EXPECT_EQ(config.altServerPort, 8081);
    EXPECT_EQ(config.serverSet, 1u);
    EXPECT_EQ(config.deviceId, 9u);
    EXPECT_EQ(config.exceptionIp, 0u);  // set, then cleared
    EXPECT_EQ(config.currentChildId, 5u);
    EXPECT_EQ(config.redirectPid, 4321u);
    EXPECT_EQ(config.windowsVersion, 10u);
    EXPECT_TRUE(TestOs::logged("device id = 9\n"));
    EXPECT_TRUE(TestOs::logged("ExecSetRedirectPidCmd pid = 4321\n"));

    EXPECT_EQ(call(ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD, RecordBytes().u32(kToken).u32(77).bytes()),
              1);
    // A key record whose flag is not 1 changes nothing.
    EXPECT_EQ(call(ZORVANE_IOCTL_SET_KEY, RecordBytes().u32(kToken).u32(2).raw(16, 9).bytes()), -1);
    ZorvaneGetConfig(&config);
    EXPECT_EQ(config.exceptionIp, 77u);
    EXPECT_EQ(config.key[15], 7);
}

TEST_F(DispatchTest, UnblockedPortList) {
    openLock();
    struct Case {
        const char* name;
        std::vector<uint16_t> start;
        uint32_t block;
        std::vector<uint16_t> ports;
        int32_t rc;
        std::vector<uint16_t> after;
    };
    std::vector<uint16_t> sixteen;
    std::vector<uint16_t> twenty;
    for (uint16_t port = 1000; port < 1020; ++port) {
        twenty.push_back(port);
        if (port < 1016) {
            sixteen.push_back(port);
        }
    }
    const Case cases[] = {
        {"duplicates are added once", {}, 0, {80, 80, 443}, 0, {80, 443}},
        {"removal keeps the order", {80, 443, 21}, 1, {443}, 0, {80, 21}},
        {"removal of an absent port", {80, 443}, 1, {25, 80, 80}, 0, {443}},
        {"the seventeenth port is refused", {}, 0, twenty, -2, sixteen},
        {"a present port is skipped on a full list", sixteen, 0, {1000, 1015}, 0, sixteen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(portOptions(1, unblockedPorts()), 0);  // empty the list
        ASSERT_TRUE(unblockedPorts().empty());
        ASSERT_EQ(portOptions(0, c.start), 0);
        EXPECT_EQ(portOptions(c.block, c.ports), c.rc);
        EXPECT_EQ(unblockedPorts(), c.after);
    }
}

TEST_F(DispatchTest, UnblockedPortsAreCopiedUpToTheAskedAndTheRoomThereIs) {
    openLock();
    ASSERT_EQ(portOptions(0, {80, 443, 8080}), 0);
    struct Case {
        uint32_t maxPorts;
        uint32_t outputLength;
        uint32_t returned;
    };
    for (const Case& c : {Case{16, 512, 3}, Case{2, 512, 2}, Case{16, 12, 2}, Case{0, 512, 0}}) {
        const int32_t rc = call(ZORVANE_IOCTL_GET_UNBLOCKED_PORTS,
                                RecordBytes().u32(kToken).u32(c.maxPorts).bytes(), c.outputLength);
        ASSERT_EQ(rc, static_cast<int32_t>(8 + 2 * c.returned));
        EXPECT_EQ(LoadLe32(&mReply[4]), c.returned);
        if (c.returned >= 2) {
            EXPECT_EQ(LoadLe16(&mReply[8]), 80);
            EXPECT_EQ(LoadLe16(&mReply[10]), 443);
        }
    }
}

TEST_F(DispatchTest, SetUserReplacesTheSidMapAndClearsThePidMapOnTheLastRecord) {
    openLock();
    auto setUser = [&](const std::string& sid, uint32_t child, uint16_t curr, uint16_t total) {
        return call(ZORVANE_IOCTL_SET_USER,
                    RecordBytes().u32(kToken).u32(child).u16(curr).u16(total).text(sid).bytes());
    };
    ASSERT_EQ(setUser("S-1-old", 4, 1, 1), 1);
    ASSERT_EQ(AddToPidChildMap(100, 4), 1);

    ASSERT_EQ(setUser("S-1-a", 5, 1, 3), 1);
    EXPECT_EQ(GetChildIdForSid("S-1-old"), 0u);
    ASSERT_EQ(setUser("S-1-b", 6, 2, 3), 1);
    EXPECT_EQ(GetChildIdForPid(100), 4u);
    ASSERT_EQ(setUser("S-1-c", 7, 3, 3), 1);
    EXPECT_EQ(GetChildIdForPid(100), 0u);
    EXPECT_EQ(ZorvaneSidMapSize(), 3u);
    EXPECT_EQ(GetChildIdForSid("S-1-a"), 5u);
    EXPECT_EQ(GetChildIdForSid("S-1-c"), 7u);

    // The service's "disable": one dummy entry that no SID matches.
    ASSERT_EQ(setUser(" ", 0, 1, 1), 1);
    EXPECT_EQ(ZorvaneSidMapSize(), 1u);
    EXPECT_EQ(GetChildIdForSid("S-1-a"), 0u);
    // An empty SID is not stored, and says so.
    EXPECT_EQ(setUser("", 3, 2, 3), -1);
}

TEST_F(DispatchTest, MalformedRecordsFailWithoutChangingAnything) {
    openLock();
    for (const ConfigCode& c : configurationCodes(kToken)) {
        SCOPED_TRACE(ZorvaneIoctlName(c.code));
        std::vector<uint8_t> shortRecord = c.record;
        // One byte short of the fixed part (texts and ports come after it).
        size_t fixed = c.record.size();
        if (c.code == ZORVANE_IOCTL_SET_USER) {
            fixed = 12;
        } else if (c.code == ZORVANE_IOCTL_PORT_OPTIONS) {
            fixed = 12;
        } else if (c.code == ZORVANE_IOCTL_GET_UNBLOCKED_PORTS) {
            fixed = 8;
        }
        shortRecord.resize(fixed - 1);
        EXPECT_EQ(call(c.code, shortRecord), -1);
    }
    struct Case {
        const char* name;
        uint32_t code;
        std::vector<uint8_t> record;
        uint32_t outputLength;
    };
    const Case cases[] = {
        {"SID without its NUL", ZORVANE_IOCTL_SET_USER,
         RecordBytes().u32(kToken).u32(5).u16(1).u16(1).text("S-1-5", false).bytes(), 512},
        {"host without its NUL", ZORVANE_IOCTL_HTTPS_BLOCKED,
         RecordBytes().u32(0).u32(1).u32(5).text("example.org", false).bytes(), 512},
        {"verdict shorter than its fixed part", ZORVANE_IOCTL_HTTPS_BLOCKED,
         RecordBytes().u32(0).u32(1).raw(3).bytes(), 512},
        {"fewer ports than announced", ZORVANE_IOCTL_PORT_OPTIONS,
         RecordBytes().u32(kToken).u32(0).u32(3).u16(80).u16(443).bytes(), 512},
        {"a port count that overflows", ZORVANE_IOCTL_PORT_OPTIONS,
         RecordBytes().u32(kToken).u32(0).u32(0x80000001u).u16(80).bytes(), 512},
        {"no room for the version", ZORVANE_IOCTL_GET_VERSION, RecordBytes().raw(8).bytes(), 7},
        {"no room for the challenge", ZORVANE_IOCTL_GET_CHALLENGE, RecordBytes().u32(0).bytes(), 3},
        {"response without its value", ZORVANE_IOCTL_SEND_RESPONSE, RecordBytes().raw(3).bytes(),
         512},
        {"no room for the status", ZORVANE_IOCTL_GET_MODULE_STATUS,
         RecordBytes().u32(kToken).u32(0).bytes(), 7},
        {"no room for the port list head", ZORVANE_IOCTL_GET_UNBLOCKED_PORTS,
         RecordBytes().u32(kToken).u32(4).bytes(), 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(call(c.code, c.record, c.outputLength), -1);
    }
    EXPECT_EQ(ZorvaneSidMapSize(), 0u);
    EXPECT_TRUE(unblockedPorts().empty());
    EXPECT_EQ(ZorvaneGetAuthState(), AUTH_STATE_OPEN);
}

TEST_F(DispatchTest, DeviceControlChecksLengthsAndReportsTheOutcome) {
    uint8_t buffer[512] = {};
    uint32_t returned = 99;
    EXPECT_EQ(ZorvaneDeviceControl(ZORVANE_IOCTL_GET_VERSION, buffer, 0, 512, &returned),
              ZORVANE_IO_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(ZorvaneDeviceControl(ZORVANE_IOCTL_GET_VERSION, buffer, 8, 0, &returned),
              ZORVANE_IO_INVALID_PARAMETER);

    EXPECT_EQ(ZorvaneDeviceControl(ZORVANE_IOCTL_GET_VERSION, buffer, 8, 512, &returned),
              ZORVANE_IO_SUCCESS);
    EXPECT_EQ(returned, 8u);
    EXPECT_TRUE(TestOs::logged("IOCTL SUCCESSFUL - rc = 8\n"));

    returned = 99;
    EXPECT_EQ(ZorvaneDeviceControl(ZORVANE_IOCTL_CLEAR_USERS, buffer, 8, 512, &returned),
              ZORVANE_IO_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(TestOs::logged("IOCTL FAILED - rc = -1\n"));
}

// The service's records, byte for byte as its builders make them: each is
// accepted and leaves its values where the filter keeps them.
TEST_F(DispatchTest, TheServicesRecordsAreAcceptedAndStored) {
    openLock();
    for (const RequestRecord& record : requestRecords()) {
        SCOPED_TRACE(record.name);
        ASSERT_GE(call(record.code, record.bytes), 0);
        FilterConfig config;
        ZorvaneGetConfig(&config);
        auto value = [&](size_t index) { return record.values.at(index).number; };
        switch (record.code) {
            case ZORVANE_IOCTL_SET_USER:
                EXPECT_EQ(GetChildIdForSid(record.values.at(0).text.c_str()), value(2));
                break;
            case ZORVANE_IOCTL_ENABLE_FILTER:
                EXPECT_EQ(config.filterEnabled, value(0));
                break;
            case ZORVANE_IOCTL_PORT_OPTIONS:
                EXPECT_EQ(unblockedPorts(), record.values.at(2).ports);
                break;
            case ZORVANE_IOCTL_SET_SERVER_ADDRESS:
                EXPECT_EQ(config.serverAddress, value(0));
                EXPECT_EQ(config.altServerAddress, value(1));
                EXPECT_EQ(config.serverPort, value(2));
                EXPECT_EQ(config.altServerPort, value(3));
                break;
            case ZORVANE_IOCTL_SET_DEVICE_CMD:
                EXPECT_EQ(config.deviceId, value(0));
                break;
            case ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD:
            case ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD:
                EXPECT_EQ(config.exceptionIp,
                          record.code == ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD ? 0u : value(0));
                break;
            case ZORVANE_IOCTL_SET_CURRENT_USER_CMD:
                EXPECT_EQ(config.currentChildId, value(0));
                break;
            case ZORVANE_IOCTL_SET_REDIRECT_PID_CMD:
                EXPECT_EQ(config.redirectPid, value(0));
                break;
            case ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD:
                EXPECT_EQ(config.windowsVersion, value(0));
                break;
            default:  // the version, the status and a verdict store nothing
                break;
        }
    }
}

TEST(HostVerdict, ServiceStatusMapsToHostStatus) {
    struct Case {
        int32_t service;
        uint32_t host;
    };
    for (const Case& c :
         {Case{0, ZORVANE_HOST_ALLOWED}, Case{1, ZORVANE_HOST_BLOCKED},
          Case{2, ZORVANE_HOST_ALLOWED_NOCACHE}, Case{3, ZORVANE_HOST_BLOCKED_NOCACHE},
          Case{-1, ZORVANE_HOST_BLOCKED_NOCACHE}, Case{4, ZORVANE_HOST_BLOCKED_NOCACHE}}) {
        EXPECT_EQ(ZorvaneHostStatusFromService(c.service), c.host) << c.service;
    }
}

}  // namespace

// The request records the service sends to the filter, byte for byte, and
// the Driver setters that produce them.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "zorvane_bytes.h"
#include "driver/Driver.h"
#include "driver/DriverCommand.h"
#include "RequestRecords.h"
#include "TestSupport.h"
#include "zorvane_ioctl.h"

namespace {

constexpr uint32_t kToken = kRecordToken;

std::vector<uint8_t> recordOf(const char* buffer) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer);
    return std::vector<uint8_t>(bytes + 4, bytes + 4 + LoadLe32(buffer));
}

// The record the command's buffer holds after building, per its length.
std::vector<uint8_t> built(DriverCommand& command) {
    char* buffer = nullptr;
    EXPECT_EQ(command.getCommandBuffer(&buffer), 512);
    EXPECT_NE(buffer, nullptr);
    return buffer ? recordOf(buffer) : std::vector<uint8_t>{};
}

std::unique_ptr<DriverCommand> command(uint32_t code, std::vector<ArgumentBlock> args) {
    auto made = std::make_unique<DriverCommand>(code);
    int index = 2;
    for (ArgumentBlock& arg : args) {
        made->setArgument(index++, std::move(arg));
    }
    return made;
}

ArgumentBlock u32(uint32_t value) {
    return ArgumentBlock::fromUint32(value);
}
ArgumentBlock u16(uint16_t value) {
    return DriverCommand::fromUint16(value);
}
ArgumentBlock text(const std::string& value) {
    return ArgumentBlock(value.c_str(), value.size() + 1);
}

ArgumentBlock argumentOf(const RecordValue& value) {
    switch (value.kind) {
        case RecordValue::U32:
            return u32(value.number);
        case RecordValue::U16:
            return u16(static_cast<uint16_t>(value.number));
        case RecordValue::TEXT:
            return text(value.text);
        case RecordValue::PORTS: {
            std::vector<char> ports(value.ports.size() * 2);
            for (size_t i = 0; i < value.ports.size(); ++i) {
                StoreLe16(&ports[2 * i], value.ports[i]);
            }
            return ArgumentBlock(ports.data(), ports.size());
        }
    }
    return ArgumentBlock();
}

TEST(DriverCommand, EveryRecordByteForByte) {
    for (const RequestRecord& record : requestRecords()) {
        SCOPED_TRACE(record.name);
        std::vector<ArgumentBlock> args;
        for (const RecordValue& value : record.values) {
            args.push_back(argumentOf(value));
        }
        auto made = command(record.code, std::move(args));
        EXPECT_EQ(built(*made), record.bytes);
    }
}

TEST(DriverCommand, SetUserLengthIsSidPlusThirteen) {
    const std::string sid44 = "S-1-5-21-1004336348-1177238915-682003330-512";
    auto made = command(ZORVANE_IOCTL_SET_USER, {});
    made->setArgument(DriverCommand::kArgSid, text(sid44));
    made->setArgument(DriverCommand::kArgSidLength, u32(44));
    char* buffer = nullptr;
    ASSERT_EQ(made->getCommandBuffer(&buffer), 512);
    EXPECT_EQ(LoadLe32(buffer), 57u);
}

// The same command built again for a shorter SID: the record ends at the
// new SID's NUL, not at what the longer one left in the buffer.
TEST(DriverCommand, SetUserRebuiltWithAShorterSidEndsAtItsOwnNul) {
    const std::string longSid = "S-1-5-21-1004336348-1177238915-682003330-512";
    const std::string shortSid = "S-1-22-1-7";
    auto made = command(ZORVANE_IOCTL_SET_USER, {});
    made->setArgument(DriverCommand::kArgSid, text(longSid));
    made->setArgument(DriverCommand::kArgSidLength, u32(static_cast<uint32_t>(longSid.size())));
    made->setArgument(DriverCommand::kArgSidChildId, u32(3));
    made->setArgument(DriverCommand::kArgSidTotal, u16(1));
    made->setArgument(DriverCommand::kArgSidCurr, u16(1));
    ASSERT_EQ(built(*made).size(), 12 + longSid.size() + 1);

    made->setArgument(DriverCommand::kArgSid, ArgumentBlock(shortSid.data(), shortSid.size()));
    made->setArgument(DriverCommand::kArgSidLength, u32(static_cast<uint32_t>(shortSid.size())));
    EXPECT_EQ(built(*made),
              RecordBytes().u32(kToken).u32(3).u16(1).u16(1).text(shortSid).bytes());
}

TEST(DriverCommand, PortListIsZeroedAndSized) {
    DriverCommand made(ZORVANE_IOCTL_GET_UNBLOCKED_PORTS);
    char* buffer = made.getPortListCommandArgs(3);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(recordOf(buffer), RecordBytes().u32(kToken).u32(3).raw(6).bytes());
}

// Texts that do not fit the 512-byte buffer and codes without a builder
// leave the caller's pointer alone.
TEST(DriverCommand, RefusesWhatItCannotBuild) {
    const std::string longest(495, 'h');
    const std::string tooLong(496, 'h');
    struct Case {
        const char* name;
        std::unique_ptr<DriverCommand> made;
        bool builds;
    };
    std::vector<Case> cases;
    auto host = [&](const std::string& name) {
        auto made = command(ZORVANE_IOCTL_HTTPS_BLOCKED, {});
        made->setArgument(DriverCommand::kArgHost, text(name));
        return made;
    };
    auto sid = [&](const std::string& value) {
        auto made = command(ZORVANE_IOCTL_SET_USER, {});
        made->setArgument(DriverCommand::kArgSid, text(value));
        made->setArgument(DriverCommand::kArgSidLength, u32(static_cast<uint32_t>(value.size())));
        return made;
    };
    cases.push_back({"host of 495", host(longest), true});
    cases.push_back({"host of 496", host(tooLong), false});
    cases.push_back({"sid of 495", sid(longest), true});
    cases.push_back({"sid of 496", sid(tooLong), false});
    cases.push_back({"set key", command(ZORVANE_IOCTL_SET_KEY, {}), false});
    cases.push_back({"https options", command(ZORVANE_IOCTL_SET_HTTPS_OPTIONS, {}), false});
    cases.push_back({"clear users", command(ZORVANE_IOCTL_CLEAR_USERS, {}), false});
    cases.push_back({"unknown", command(0x12345678, {}), false});
    {
        auto ports = command(ZORVANE_IOCTL_PORT_OPTIONS, {});
        ports->setArgument(DriverCommand::kArgPortCount, u32(3));
        ports->setArgument(DriverCommand::kArgPorts, ArgumentBlock("\x50\x00", 2));
        cases.push_back({"fewer ports than counted", std::move(ports), false});
    }
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        char sentinel = 0;
        char* buffer = &sentinel;
        EXPECT_EQ(c.made->getCommandBuffer(&buffer), c.builds ? 512 : 0);
        EXPECT_EQ(buffer == &sentinel, !c.builds);
    }
}

// A driver that records each record it is asked to send and accepts all but
// the n-th.
class RecordingDriver : public Driver {
public:
    int failAt = 0;
    std::vector<std::vector<uint8_t>> records;
    std::vector<uint32_t> codes;

    int sendCommand(Command* cmd) override {
        auto* made = dynamic_cast<DriverCommand*>(cmd);
        char* buffer = nullptr;
        if (!made || made->getCommandBuffer(&buffer) == 0) {
            return 0;
        }
        codes.push_back(made->getCode());
        records.push_back(recordOf(buffer));
        return static_cast<int>(records.size()) == failAt ? 0 : 1;
    }
    std::unique_ptr<Command> waitForCommand() override { return nullptr; }
    int status(int&) override { return DRIVER_ERROR; }
    int Load(int&) override { return 0; }
    int UnLoad() override { return 0; }
    int NotifyDriverFail(int) override { return 0; }
};

TEST(Driver, UserMapGoesOutInSidOrderWithCurrAndTotal) {
    RecordingDriver driver;
    LogWatch log;
    SysZorvUserMap map{{"S-1-22-1-1002", 4}, {"S-1-22-1-1000", 3}, {"S-1-22-1-1001", 3}};
    EXPECT_EQ(driver.setSysZorvUserMap(map), 1);
    ASSERT_EQ(driver.records.size(), 3u);
    const char* sids[] = {"S-1-22-1-1000", "S-1-22-1-1001", "S-1-22-1-1002"};
    const uint32_t children[] = {3, 3, 4};
    for (uint16_t i = 0; i < 3; ++i) {
        EXPECT_EQ(driver.codes[i], ZORVANE_IOCTL_SET_USER);
        EXPECT_EQ(driver.records[i],
                  RecordBytes().u32(kToken).u32(children[i]).u16(i + 1).u16(3).text(sids[i]).bytes());
    }
    EXPECT_TRUE(log.saw("setSysZorvUserMap S-1-22-1-1001 3"));
}

TEST(Driver, UserMapStopsAtTheFirstRefusal) {
    RecordingDriver driver;
    driver.failAt = 2;
    SysZorvUserMap map{{"a", 1}, {"b", 2}, {"c", 3}};
    EXPECT_EQ(driver.setSysZorvUserMap(map), 0);
    EXPECT_EQ(driver.records.size(), 2u);
}

TEST(Driver, EmptyUserMapSendsNothing) {
    RecordingDriver driver;
    EXPECT_EQ(driver.setSysZorvUserMap({}), 1);
    EXPECT_TRUE(driver.records.empty());
}

TEST(Driver, DisableFilterSendsTheSingleDummyEntry) {
    RecordingDriver driver;
    EXPECT_EQ(driver.disableFilter(), 1);
    ASSERT_EQ(driver.records.size(), 1u);
    // SID " " of length 2: the space, its padding NUL, and the terminator.
    EXPECT_EQ(driver.records[0],
              RecordBytes().u32(kToken).u32(0).u16(1).u16(1).text(std::string(" \0", 2)).bytes());
}

TEST(Driver, SettersSendTheirCodes) {
    RecordingDriver driver;
    driver.setFilterStatus(5);
    driver.setFilterDevice(1001);
    driver.setCurrentChildUser(3);
    driver.setRedirectPid(4711);
    driver.setWindowsVersion(10);
    driver.setFilterAddress(0x7F000001, 0x7F000002, 8480, 8481);
    const std::vector<uint32_t> expected = {
        ZORVANE_IOCTL_ENABLE_FILTER,           ZORVANE_IOCTL_SET_DEVICE_CMD,
        ZORVANE_IOCTL_SET_CURRENT_USER_CMD,    ZORVANE_IOCTL_SET_REDIRECT_PID_CMD,
        ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD, ZORVANE_IOCTL_SET_SERVER_ADDRESS};
    EXPECT_EQ(driver.codes, expected);
    EXPECT_EQ(driver.records[0], RecordBytes().u32(kToken).u32(5).bytes());
    EXPECT_EQ(driver.records[5],
              RecordBytes().u32(kToken).u32(0x7F000001).u32(0x7F000002).u16(8480).u16(8481).bytes());
}

}  // namespace

// The request records the service sends to the filter, byte for byte, and
// the Driver setters that produce them.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Bytes.h"
#include "Driver.h"
#include "DriverCommand.h"
#include "TestSupport.h"
#include "zorvane_ioctl.h"

namespace {

// Little-endian record text for expectations.
class Bytes {
public:
    Bytes& u32(uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            mBytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        }
        return *this;
    }
    Bytes& u16(uint16_t value) {
        mBytes.push_back(static_cast<char>(value & 0xFF));
        mBytes.push_back(static_cast<char>(value >> 8));
        return *this;
    }
    Bytes& text(const std::string& text) {
        mBytes.insert(mBytes.end(), text.begin(), text.end());
        mBytes.push_back(0);
        return *this;
    }
    Bytes& zeros(size_t count) {
        mBytes.insert(mBytes.end(), count, 0);
        return *this;
    }
    const std::vector<char>& get() const { return mBytes; }

private:
    std::vector<char> mBytes;
};

constexpr uint32_t kToken = Driver::kAuthToken;

// The record the command's buffer holds after building, per its length.
std::vector<char> built(DriverCommand& command) {
    char* buffer = nullptr;
    EXPECT_EQ(command.getCommandBuffer(&buffer), 512);
    EXPECT_NE(buffer, nullptr);
    if (!buffer) {
        return {};
    }
    const uint32_t length = readLe32(buffer);
    return std::vector<char>(buffer + 4, buffer + 4 + length);
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

TEST(DriverCommand, EveryRecordByteForByte) {
    const std::string sid44 = "S-1-5-21-1004336348-1177238915-682003330-512";
    ASSERT_EQ(sid44.size(), 44u);
    const std::vector<char> ports = {0x50, 0x00, static_cast<char>(0xBB), 0x01};
    struct Case {
        const char* name;
        uint32_t code;
        std::vector<ArgumentBlock> args;
        std::vector<char> expected;
    };
    std::vector<Case> cases;
    cases.push_back({"get version", ZORVANE_IOCTL_GET_VERSION, {}, Bytes().zeros(8).get()});
    {
        std::vector<ArgumentBlock> args;
        args.push_back(text(sid44));
        args.push_back(u32(44));
        args.push_back(u32(3));
        args.push_back(u16(2));  // total
        args.push_back(u16(1));  // curr
        cases.push_back({"set user", ZORVANE_IOCTL_SET_USER, std::move(args),
                         Bytes().u32(kToken).u32(3).u16(1).u16(2).text(sid44).get()});
    }
    cases.push_back({"enable filter", ZORVANE_IOCTL_ENABLE_FILTER, {}, {}});
    cases.back().args.push_back(u32(1));
    cases.back().expected = Bytes().u32(kToken).u32(1).get();
    cases.push_back({"port options", ZORVANE_IOCTL_PORT_OPTIONS, {}, {}});
    cases.back().args.push_back(u32(0));
    cases.back().args.push_back(u32(2));
    cases.back().args.push_back(ArgumentBlock(ports.data(), ports.size()));
    cases.back().expected = Bytes().u32(kToken).u32(0).u32(2).u16(80).u16(443).get();
    cases.push_back({"server address", ZORVANE_IOCTL_SET_SERVER_ADDRESS, {}, {}});
    cases.back().args.push_back(u32(0x0A000001));
    cases.back().args.push_back(u32(0xC0A80102));
    cases.back().args.push_back(u16(8080));
    cases.back().args.push_back(u16(80));
    cases.back().expected =
        Bytes().u32(kToken).u32(0x0A000001).u32(0xC0A80102).u16(8080).u16(80).get();
    cases.push_back(
        {"module status", ZORVANE_IOCTL_GET_MODULE_STATUS, {}, Bytes().u32(kToken).u32(0).get()});
    cases.push_back({"https blocked", ZORVANE_IOCTL_HTTPS_BLOCKED, {}, {}});
    cases.back().args.push_back(text("ads.example"));
    cases.back().args.push_back(u32(3));
    cases.back().args.push_back(u32(7));
    cases.back().expected = Bytes().u32(kToken).u32(3).u32(7).text("ads.example").get();
    const uint32_t valueCodes[] = {
        ZORVANE_IOCTL_SET_DEVICE_CMD,         ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD,
        ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD, ZORVANE_IOCTL_SET_CURRENT_USER_CMD,
        ZORVANE_IOCTL_SET_REDIRECT_PID_CMD,   ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD};
    for (uint32_t code : valueCodes) {
        cases.push_back({"value record", code, {}, Bytes().u32(kToken).u32(4711).get()});
        cases.back().args.push_back(u32(4711));
    }

    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto made = command(c.code, std::move(c.args));
        EXPECT_EQ(built(*made), c.expected);
    }
}

TEST(DriverCommand, SetUserLengthIsSidPlusThirteen) {
    const std::string sid44 = "S-1-5-21-1004336348-1177238915-682003330-512";
    auto made = command(ZORVANE_IOCTL_SET_USER, {});
    made->setArgument(DriverCommand::kArgSid, text(sid44));
    made->setArgument(DriverCommand::kArgSidLength, u32(44));
    char* buffer = nullptr;
    ASSERT_EQ(made->getCommandBuffer(&buffer), 512);
    EXPECT_EQ(readLe32(buffer), 57u);
}

TEST(DriverCommand, PortListIsZeroedAndSized) {
    DriverCommand made(ZORVANE_IOCTL_GET_UNBLOCKED_PORTS);
    char* buffer = made.getPortListCommandArgs(3);
    ASSERT_NE(buffer, nullptr);
    std::vector<char> record(buffer + 4, buffer + 4 + readLe32(buffer));
    EXPECT_EQ(record, Bytes().u32(kToken).u32(3).zeros(6).get());
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
    std::vector<std::vector<char>> records;
    std::vector<uint32_t> codes;

    int sendCommand(Command* cmd) override {
        auto* made = dynamic_cast<DriverCommand*>(cmd);
        char* buffer = nullptr;
        if (!made || made->getCommandBuffer(&buffer) == 0) {
            return 0;
        }
        codes.push_back(made->getCode());
        records.emplace_back(buffer + 4, buffer + 4 + readLe32(buffer));
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
                  Bytes().u32(kToken).u32(children[i]).u16(i + 1).u16(3).text(sids[i]).get());
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
              Bytes().u32(kToken).u32(0).u16(1).u16(1).text(std::string(" \0", 2)).get());
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
    EXPECT_EQ(driver.records[0], Bytes().u32(kToken).u32(5).get());
    EXPECT_EQ(driver.records[5],
              Bytes().u32(kToken).u32(0x7F000001).u32(0x7F000002).u16(8480).u16(8481).get());
}

}  // namespace

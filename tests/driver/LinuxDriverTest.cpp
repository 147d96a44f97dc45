// The service's LinuxDriver against the real filter host on a socket of its
// own: the lazy access lock, a refused response, the user map, the read
// channel, and a host that goes away and comes back.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "driver/Driver.h"
#include "FilterHostProcess.h"
#include "LinuxDriver.h"
#include "commands/NotifyCommand.h"
#include "TestSupport.h"
#include "zorvane_bytes.h"
#include "zorvane_control_socket.h"
#include "zorvane_ioctl.h"

namespace {

using namespace std::chrono_literals;

std::string codeText(uint32_t code) {
    return std::to_string(static_cast<int>(code));
}

// A driver that does not wait after a failed read.
class QuickLinuxDriver : public LinuxDriver {
public:
    using LinuxDriver::LinuxDriver;

protected:
    void pauseAfterFailedRead(std::chrono::milliseconds) override {}
};

// A connection of its own to the host that closes the filter's access lock
// with a challenge it never answers, as a restarted filter has it closed.
class LockCloser {
public:
    explicit LockCloser(const std::string& socketPath) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
        mFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (mFd >= 0 && connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(mFd);
            mFd = -1;
        }
    }
    ~LockCloser() {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    bool closeLock() {
        char request[ZORVANE_CONTROL_REQUEST_HEAD_SIZE + 4] = {};
        StoreLe32(request, ZORVANE_CONTROL_OP_IOCTL);
        StoreLe32(request + 4, ZORVANE_IOCTL_GET_CHALLENGE);
        StoreLe32(request + 8, 4);
        StoreLe32(request + 12, 4);
        char reply[ZORVANE_CONTROL_REPLY_HEAD_SIZE + 4];
        return mFd >= 0 && send(mFd, request, sizeof(request), MSG_NOSIGNAL) == sizeof(request) &&
               recv(mFd, reply, sizeof(reply), MSG_WAITALL) == sizeof(reply) && LoadLe32(reply) == 1;
    }

private:
    int mFd = -1;
};


class LinuxDriverTest : public ::testing::Test {
protected:
    std::string socket() const { return mDir.file("ZorvaneFilter"); }
    std::string hostLog() const { return mDir.file("filter.log"); }

    TempDir mDir;
};

TEST_F(LinuxDriverTest, FirstCodeOpensTheLockThenSucceedsOnItsSecondSending) {
    HostProcess host(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host.running());
    LinuxDriver driver(socket());
    ASSERT_EQ(driver.getStatus(), DRIVER_LOADED);

    LogWatch log;
    EXPECT_EQ(driver.setFilterStatus(5), 1);
    const std::string text = log.text();
    const std::string enable = codeText(ZORVANE_IOCTL_ENABLE_FILTER);
    const size_t failed = text.find("Module ioctl failed. cmd=" + enable);
    const size_t redo = text.find("ioctl failed so redo auth sequence");
    const size_t challenge =
        text.find("IOCTL successful cmd=" + codeText(ZORVANE_IOCTL_GET_CHALLENGE) + " retBytes=4");
    const size_t response =
        text.find("IOCTL successful cmd=" + codeText(ZORVANE_IOCTL_SEND_RESPONSE) + " retBytes=1");
    const size_t success = text.find("IOCTL successful cmd=" + enable + " retBytes=1");
    ASSERT_NE(failed, std::string::npos) << text;
    EXPECT_LT(failed, redo);
    EXPECT_LT(redo, challenge);
    EXPECT_LT(challenge, response);
    EXPECT_LT(response, success);
    EXPECT_NE(success, std::string::npos) << text;

    // The lock stays open: the next code goes through at once.
    LogWatch second;
    EXPECT_EQ(driver.setFilterDevice(1001), 1);
    EXPECT_FALSE(second.saw("redo auth sequence"));

    // The filter reports the flag it stored, and its version.
    int errCode = 0;
    EXPECT_EQ(driver.status(errCode), DRIVER_WORKING);
    EXPECT_TRUE(second.saw("LinuxDriver::status driver version 2.0"));
    EXPECT_TRUE(readFile(hostLog()).find("enable filtering 1") != std::string::npos);
}

TEST_F(LinuxDriverTest, RefusedResponseFailsTheSetterWithoutAThirdTry) {
    HostProcess host(ZORVANE_TEST_FILTER_PATH, socket(), hostLog(), {"--refuse-response"});
    ASSERT_TRUE(host.running());
    LinuxDriver driver(socket());

    LogWatch log;
    EXPECT_EQ(driver.setCurrentChildUser(3), 0);
    EXPECT_EQ(log.count("Module ioctl failed. cmd=" + codeText(ZORVANE_IOCTL_SET_CURRENT_USER_CMD)),
              1);
    EXPECT_TRUE(log.saw("IOCTL successful cmd=" + codeText(ZORVANE_IOCTL_SEND_RESPONSE)));
}

TEST_F(LinuxDriverTest, UserMapReplacesTheHostsMapsInOnePass) {
    HostProcess host(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host.running());
    LinuxDriver driver(socket());
    ASSERT_EQ(driver.setFilterSysUserMap("S-1-22-1-999", 12, 9, 1, 1), 1);

    SysZorvUserMap map{{"S-1-22-1-1000", 3}, {"S-1-22-1-1001", 3}, {"S-1-22-1-1002", 4}};
    const size_t before = readFile(hostLog()).size();
    ASSERT_EQ(driver.setSysZorvUserMap(map), 1);

    const std::string text = readFile(hostLog()).substr(before);
    // The SID map is cleared on the first record and the process map on
    // the last, so the old entry is gone.
    EXPECT_LT(text.find("ExecSetUserCmd CleanupWinUserMap"),
              text.find("ExecSetUserCmd CleanupPidChildMap"));
    const std::string lastDump = text.substr(text.rfind("WinUser Map DUMP"));
    for (const auto& [sid, child] : map) {
        // Each log line carries a time stamp before its text.
        const std::regex entry("sid - " + sid + "\n[^\n]*childId - " + std::to_string(child) +
                               "\n");
        EXPECT_TRUE(std::regex_search(lastDump, entry)) << lastDump;
    }
    EXPECT_EQ(lastDump.find("S-1-22-1-999"), std::string::npos) << lastDump;
}

TEST_F(LinuxDriverTest, RecordsReachWaitForCommandInOrder) {
    HostProcess host(ZORVANE_TEST_FILTER_PATH, socket(), hostLog(),
                     {"--queue", "3:3:blocked.example", "--queue", "5:0:", "--queue", "7:0:#4711"});
    ASSERT_TRUE(host.running());
    LinuxDriver driver(socket());

    std::unique_ptr<Command> first = driver.waitForCommand();
    auto* notice = dynamic_cast<NotifyCommand*>(first.get());
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->getChildId(), 3u);
    const std::vector<char> message = notice->message();
    EXPECT_NE(std::string(message.begin(), message.end()).find("blocked.example"),
              std::string::npos);

    LogWatch log;
    EXPECT_EQ(driver.waitForCommand(), nullptr);
    EXPECT_TRUE(log.saw("ZORVANE_READ_CHECK_EXIT_CMD"));
    EXPECT_FALSE(log.saw("CommandFactory"));

    std::unique_ptr<Command> third = driver.waitForCommand();
    EXPECT_NE(dynamic_cast<NotifyRedirectProcessCommand*>(third.get()), nullptr);
    EXPECT_TRUE(log.saw("Driver read command 7"));
}

TEST_F(LinuxDriverTest, HostThatRestartsIsReachedAgainAfterTheStatusCheck) {
    auto host = std::make_unique<HostProcess>(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host->running());
    QuickLinuxDriver driver(socket());
    ASSERT_EQ(driver.setFilterStatus(1), 1);

    host->stop();
    EXPECT_EQ(driver.setFilterStatus(1), 0);
    EXPECT_EQ(driver.waitForCommand(), nullptr);
    int errCode = 0;
    LogWatch log;
    driver.status(errCode);
    EXPECT_TRUE(log.saw("mIoctlDeviceHandle creation failed"));
    EXPECT_EQ(driver.setFilterStatus(1), 0);
    EXPECT_TRUE(log.saw("Module devfd is invalid"));

    host = std::make_unique<HostProcess>(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host->running());
    EXPECT_EQ(driver.status(errCode), DRIVER_WORKING);
    // The restarted filter's lock is closed again: reopened on demand.
    EXPECT_EQ(driver.setFilterStatus(1), 1);
}

// Two threads whose codes find the lock closed each run the access-lock
// sequence: one's challenge must not close the lock between the other's
// sequence and its retry.
TEST_F(LinuxDriverTest, TwoThreadsOpeningTheLockAtOnceNeverFailASetter) {
    HostProcess host(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host.running());
    LinuxDriver driver(socket());
    LockCloser closer(socket());
    int failures = 0;
    for (uint32_t round = 1; round <= 300; ++round) {
        ASSERT_TRUE(closer.closeLock());
        std::atomic<int> ready{0};
        int first = -1;
        int second = -1;
        auto when_both_ready = [&ready] {
            ++ready;
            while (ready < 2) {
            }
        };
        std::thread other([&] {
            when_both_ready();
            second = driver.setCurrentChildUser(round);
        });
        when_both_ready();
        first = driver.setFilterDevice(round);
        other.join();
        failures += (first != 1) + (second != 1);
    }
    EXPECT_EQ(failures, 0);
}

// A restarted filter knows nothing: the first code that finds the device
// gone opens it again, and the configuration goes before that code.
TEST_F(LinuxDriverTest, ReopenedDeviceGetsTheConfigurationBeforeTheCodeThatFoundItGone) {
    auto host = std::make_unique<HostProcess>(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host->running());
    QuickLinuxDriver driver(socket());
    int configured = 0;
    driver.setConfigurator([&](Driver& opened) {
        ++configured;
        return opened.setSysZorvUserMap({{"S-1-22-1-4242", 7}}) && opened.setFilterDevice(1001);
    });
    ASSERT_EQ(driver.setFilterStatus(1), 1);
    EXPECT_EQ(configured, 0);

    host->stop();
    host = std::make_unique<HostProcess>(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host->running());
    const size_t before = readFile(hostLog()).size();
    EXPECT_EQ(driver.setCurrentChildUser(9), 1);
    EXPECT_EQ(configured, 1);
    const std::string text = readFile(hostLog()).substr(before);
    const size_t device = text.find("device id = 1001");
    const size_t child = text.find("current child id = 9");
    ASSERT_NE(device, std::string::npos) << text;
    EXPECT_LT(text.find("sid - S-1-22-1-4242"), device) << text;
    EXPECT_LT(device, child) << text;
}

// The reader opens a restarted filter again by itself, without waiting for
// a status check, and the filter has its configuration back.
TEST_F(LinuxDriverTest, ReaderOpensARestartedFilterAgainAndConfiguresIt) {
    auto host = std::make_unique<HostProcess>(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host->running());
    LinuxDriver driver(socket());
    driver.setConfigurator(
        [](Driver& opened) { return opened.setSysZorvUserMap({{"S-1-22-1-4242", 7}}); });
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            driver.waitForCommand();
        }
    });

    host->stop();
    // Long enough for the reader's pause to grow to its longest.
    std::this_thread::sleep_for(3s);
    host = std::make_unique<HostProcess>(ZORVANE_FILTER_PATH, socket(), hostLog());
    ASSERT_TRUE(host->running());
    const size_t before = readFile(hostLog()).size();
    bool back = false;
    for (int i = 0; i < 200 && !back; ++i) {
        std::this_thread::sleep_for(50ms);
        const std::vector<std::string> sids = lastDumpedSids(readFile(hostLog()).substr(before));
        back = sids == std::vector<std::string>{"S-1-22-1-4242"};
    }
    EXPECT_TRUE(back) << readFile(hostLog()).substr(before);

    stop = true;
    host->stop();
    reader.join();
}

}  // namespace

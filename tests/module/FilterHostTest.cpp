// The real zorvane_filter host on a temporary socket, driven the way the
// service drives the control device.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RecordBytes.h"
#include "zorvane_control_socket.h"
#include "zorvane_ioctl.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr uint32_t kToken = ZORVANE_AUTH_CHALLENGE;

struct Reply {
    bool success = false;
    uint32_t status = 0;
    std::vector<uint8_t> output;
};

// One open handle of the control device.
class ControlHandle {
public:
    explicit ControlHandle(const std::string& path) {
        mFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(mFd);
            mFd = -1;
        }
    }
    ~ControlHandle() {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    bool valid() const { return mFd >= 0; }

    bool send(uint32_t op, uint32_t code, const std::vector<uint8_t>& input,
              uint32_t outputLength) {
        RecordBytes request;
        request.u32(op).u32(code).u32(static_cast<uint32_t>(input.size())).u32(outputLength);
        std::vector<uint8_t> bytes = request.bytes();
        bytes.insert(bytes.end(), input.begin(), input.end());
        return ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }

    // False when the connection ended instead.
    bool receive(Reply* reply) {
        std::vector<uint8_t> head(ZORVANE_CONTROL_REPLY_HEAD_SIZE);
        if (!readAll(head.data(), head.size())) {
            return false;
        }
        reply->success = LoadLe32(&head[0]) == 1;
        reply->status = LoadLe32(&head[4]);
        reply->output.resize(LoadLe32(&head[8]));
        return readAll(reply->output.data(), reply->output.size());
    }

    Reply ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength = 512) {
        Reply reply;
        EXPECT_TRUE(send(ZORVANE_CONTROL_OP_IOCTL, code, input, outputLength));
        EXPECT_TRUE(receive(&reply));
        return reply;
    }

    int fd() const { return mFd; }

private:
    bool readAll(uint8_t* data, size_t length) {
        while (length > 0) {
            const ssize_t got = recv(mFd, data, length, 0);
            if (got <= 0) {
                return false;
            }
            data += got;
            length -= static_cast<size_t>(got);
        }
        return true;
    }

    int mFd = -1;
};

// Starts the host on a socket in a fresh folder; the test ends it.
class FilterHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zorvane-filter-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mDir = pattern;
        mSocket = mDir + "/ZorvaneFilter";
        mLog = mDir + "/filter.log";
        mPid = spawn({"--socket", mSocket, "--log", mLog, "--log-level", "0"});
        ASSERT_GT(mPid, 0);
        ASSERT_TRUE(waitForSocket());
    }

    void TearDown() override {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(mDir, ignored);
    }

    pid_t spawn(const std::vector<std::string>& arguments) {
        std::vector<char*> argv{const_cast<char*>(ZORVANE_FILTER_PATH)};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        // Only the control device here: no rules in the machine's tables.
        argv.push_back(const_cast<char*>("--packet-path"));
        argv.push_back(const_cast<char*>("off"));
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, ZORVANE_FILTER_PATH, nullptr, nullptr, argv.data(), environ) != 0) {
            return -1;
        }
        return pid;
    }

    bool waitForSocket() {
        for (int i = 0; i < 500; ++i) {
            if (ControlHandle(mSocket).valid()) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Exit status of the host, or -1 when it did not end within five seconds.
    static int waitForExit(pid_t pid) {
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    std::string log() const {
        std::ifstream file(mLog);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    void openLock(ControlHandle& handle) {
        Reply challenge = handle.ioctl(ZORVANE_IOCTL_GET_CHALLENGE, RecordBytes().u32(0).bytes());
        ASSERT_TRUE(challenge.success);
        ASSERT_EQ(challenge.output.size(), 4u);
        Reply response = handle.ioctl(ZORVANE_IOCTL_SEND_RESPONSE,
                                      RecordBytes().u32(LoadLe32(&challenge.output[0])).bytes());
        ASSERT_TRUE(response.success);
        ASSERT_EQ(response.output, std::vector<uint8_t>{0});
    }

    std::string mDir;
    std::string mSocket;
    std::string mLog;
    pid_t mPid = -1;
};

TEST_F(FilterHostTest, ControlCodesThroughTheSocket) {
    ControlHandle handle(mSocket);
    ASSERT_TRUE(handle.valid());
    Reply version = handle.ioctl(ZORVANE_IOCTL_GET_VERSION, RecordBytes().raw(8).bytes());
    ASSERT_TRUE(version.success);
    ASSERT_EQ(version.output.size(), 8u);
    EXPECT_EQ(LoadLe32(&version.output[0]), 2u);
    EXPECT_EQ(LoadLe32(&version.output[4]), 0u);

    // Before the lock is open a configuration code fails and returns nothing.
    Reply early =
        handle.ioctl(ZORVANE_IOCTL_ENABLE_FILTER, RecordBytes().u32(kToken).u32(5).bytes());
    EXPECT_FALSE(early.success);
    EXPECT_EQ(early.status, ZORVANE_IO_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(early.output.empty());

    openLock(handle);
    EXPECT_TRUE(handle.ioctl(ZORVANE_IOCTL_ENABLE_FILTER, RecordBytes().u32(kToken).u32(5).bytes())
                    .success);
    Reply status =
        handle.ioctl(ZORVANE_IOCTL_GET_MODULE_STATUS, RecordBytes().u32(kToken).u32(0).bytes());
    ASSERT_TRUE(status.success);
    ASSERT_EQ(status.output.size(), 8u);
    EXPECT_EQ(LoadLe32(&status.output[4]), 1u);

    Reply user =
        handle.ioctl(ZORVANE_IOCTL_SET_USER,
                     RecordBytes().u32(kToken).u32(5).u16(1).u16(1).text("S-1-22-1-1000").bytes());
    EXPECT_TRUE(user.success);
    EXPECT_EQ(user.output.size(), 1u);

    EXPECT_TRUE(handle
                    .ioctl(ZORVANE_IOCTL_PORT_OPTIONS,
                           RecordBytes().u32(kToken).u32(0).u32(2).u16(80).u16(443).bytes())
                    .success);
    Reply ports = handle.ioctl(ZORVANE_IOCTL_GET_UNBLOCKED_PORTS,
                               RecordBytes().u32(kToken).u32(16).raw(32).bytes());
    ASSERT_TRUE(ports.success);
    ASSERT_EQ(ports.output.size(), 12u);
    EXPECT_EQ(LoadLe32(&ports.output[4]), 2u);
    EXPECT_EQ(LoadLe16(&ports.output[8]), 80);
    EXPECT_EQ(LoadLe16(&ports.output[10]), 443);

    Reply unknown = handle.ioctl(ZORVANE_IOCTL_CLEAR_USERS, RecordBytes().u32(kToken).bytes());
    EXPECT_FALSE(unknown.success);
    Reply empty = handle.ioctl(ZORVANE_IOCTL_GET_VERSION, {});
    EXPECT_FALSE(empty.success);
    EXPECT_EQ(empty.status, ZORVANE_IO_INVALID_PARAMETER);

    const std::string text = log();
    EXPECT_NE(text.find("ZORVANE_IOCTL_SET_USER called \n"), std::string::npos);
    EXPECT_NE(text.find("Un-Recognized IOCTL call\n"), std::string::npos);
    EXPECT_NE(text.find("IOCTL FAILED - rc = -1\n"), std::string::npos);
}

TEST_F(FilterHostTest, TheLockOpenedOnOneHandleAdmitsCodesOnAnother) {
    ControlHandle control(mSocket);
    ControlHandle second(mSocket);
    ASSERT_TRUE(control.valid() && second.valid());
    openLock(second);
    EXPECT_TRUE(
        control.ioctl(ZORVANE_IOCTL_SET_DEVICE_CMD, RecordBytes().u32(kToken).u32(9).bytes())
            .success);
}

TEST_F(FilterHostTest, SocketIsPrivateAndASecondHostIsRefused) {
    struct stat info {};
    ASSERT_EQ(stat(mSocket.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const pid_t second = spawn({"--socket", mSocket, "--log", mDir + "/second.log"});
    ASSERT_GT(second, 0);
    EXPECT_EQ(waitForExit(second), 1);
    ControlHandle handle(mSocket);
    ASSERT_TRUE(handle.valid());
    EXPECT_TRUE(handle.ioctl(ZORVANE_IOCTL_GET_VERSION, RecordBytes().raw(8).bytes()).success);
}

TEST_F(FilterHostTest, OtherUsersCannotUseTheControlDevice) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        ControlHandle handle(mSocket);
        _exit(handle.valid() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(FilterHostTest, OversizedRequestEndsOnlyItsConnection) {
    ControlHandle handle(mSocket);
    ASSERT_TRUE(handle.send(ZORVANE_CONTROL_OP_IOCTL, ZORVANE_IOCTL_GET_VERSION, {},
                            ZORVANE_CONTROL_MAX_TRANSFER + 1));
    Reply reply;
    EXPECT_FALSE(handle.receive(&reply));
    ControlHandle next(mSocket);
    ASSERT_TRUE(next.valid());
    EXPECT_TRUE(next.ioctl(ZORVANE_IOCTL_GET_VERSION, RecordBytes().raw(8).bytes()).success);
}

TEST_F(FilterHostTest, SigtermEndsAWaitingReadAndUnloadsCleanly) {
    ControlHandle reader(mSocket);
    ASSERT_TRUE(reader.send(ZORVANE_CONTROL_OP_READ, 0, {}, ZORVANE_READ_BUFFER_SIZE));
    std::this_thread::sleep_for(100ms);  // the read is waiting for a record
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(mPid, SIGTERM), 0);

    Reply read;
    ASSERT_TRUE(reader.receive(&read));
    EXPECT_TRUE(read.success);
    EXPECT_EQ(read.output, std::vector<uint8_t>(ZORVANE_READ_BUFFER_SIZE, 0));
    EXPECT_EQ(waitForExit(mPid), 0);
    mPid = -1;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(fs::exists(mSocket));
    const std::string text = log();
    const size_t unload = text.find("driver unload\n");
    const size_t reads = text.find("CleanupWindowsDeviceIo unloading\n");
    const size_t done = text.find("Driver unloaded successfully\n");
    ASSERT_NE(unload, std::string::npos);
    ASSERT_NE(reads, std::string::npos);
    ASSERT_NE(done, std::string::npos);
    EXPECT_LT(unload, reads);
    EXPECT_LT(reads, done);
}

}  // namespace

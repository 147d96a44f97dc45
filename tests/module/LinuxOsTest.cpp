#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BlockPool.h"
#include "Classify.h"
#include "FilterConfig.h"
#include "FlatPacket.h"
#include "LinuxOs.h"
#include "Packet.h"
#include "PacketPath.h"
#include "TaggingProxy.h"
#include "os_interface.h"

namespace {

std::string userOf(uint64_t pid, E_OsProcessOpen* opened) {
    OsProcessToken token;
    *opened = OsOpenProcessToken(pid, &token);
    if (*opened != OS_PROCESS_OPENED) {
        return {};
    }
    uint32_t size = 0;
    EXPECT_EQ(OsQueryTokenUser(&token, nullptr, &size), OS_TOKEN_USER_TOO_SMALL);
    std::string sid(size, '\0');
    EXPECT_EQ(OsQueryTokenUser(&token, &sid[0], &size), OS_TOKEN_USER_OK);
    OsCloseProcessToken(&token);
    sid.resize(size - 1);
    return sid;
}

TEST(LinuxOsTest, SidFromTheRealUidOfTheStatusText) {
    struct Case {
        const char* text;
        const char* sid;  // null: none
    } cases[] = {
        {"Name:\tbash\nUid:\t1001\t0\t0\t0\nGid:\t0\n", "S-1-22-1-1001"},
        {"Uid:\t0\t0\t0\t0\n", "S-1-22-1-0"},
        {"Uid:\t4294967295\t1\t1\t1\n", "S-1-22-1-4294967295"},
        {"Uid:\t4294967296\t1\t1\t1\n", nullptr},
        {"Name:\tx\nGid:\t5\n", nullptr},
        {"Uid:\tabc\n", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        char sid[32] = {};
        const bool found = LinuxOs::sidFromStatus(c.text, sid, sizeof(sid));
        EXPECT_EQ(found, c.sid != nullptr) << c.text;
        if (c.sid != nullptr) {
            EXPECT_STREQ(sid, c.sid);
        }
    }
}

TEST(LinuxOsTest, ProcessUserOfRealProcesses) {
    E_OsProcessOpen opened;
    EXPECT_EQ(userOf(static_cast<uint64_t>(getpid()), &opened),
              "S-1-22-1-" + std::to_string(getuid()));
    EXPECT_EQ(opened, OS_PROCESS_OPENED);
    userOf(0, &opened);
    EXPECT_EQ(opened, OS_PROCESS_INVALID_PARAMETER);

    // A process that has exited and been reaped is gone.
    const pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) {
        _exit(0);
    }
    waitpid(gone, nullptr, 0);
    userOf(static_cast<uint64_t>(gone), &opened);
    EXPECT_EQ(opened, OS_PROCESS_INVALID_ID);

    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a process as another user";
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(1);
        }
        const char byte = 1;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(userOf(static_cast<uint64_t>(other), &opened), "S-1-22-1-65534");
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

TEST(LinuxOsTest, HoldsCompleteThroughTheirCallback) {
    int calls = 0;
    LinuxOs::Completion completion{[](void* argument) { ++*static_cast<int*>(argument); }, &calls};
    void* context = nullptr;
    EXPECT_FALSE(OsPendOperation(nullptr, &context));
    ASSERT_TRUE(OsPendOperation(&completion, &context));
    OsCompleteOperation(context);
    EXPECT_EQ(calls, 1);
}

TEST(LinuxOsTest, TaggedCopyGoesToTheStreamSink) {
    struct Sink {
        std::vector<uint8_t> bytes;
        bool accept;
    } sink{{}, true};
    ZorvaneInitConfig();  // the tag reads the device id
    LinuxOs::StreamSink streamSink{[](void* argument, const uint8_t* data, uint32_t length) {
                                       auto* s = static_cast<Sink*>(argument);
                                       s->bytes.assign(data, data + length);
                                       return s->accept;
                                   },
                                   &sink};
    ZorvaneClassifyInput input{};
    input.platformContext = &streamSink;
    const uint8_t request[] = "GET / HTTP/1.1\r\n\r\n";
    ZorvaneTaggedBuffer* tagged = GetModifiedMdl(request, sizeof(request) - 1, 3);
    ASSERT_NE(tagged, nullptr);
    ASSERT_EQ(OsStreamInject(&input, tagged), OS_STREAM_INJECTED);  // frees it
    ASSERT_EQ(sink.bytes.size(), 16 + sizeof(request) - 1);
    EXPECT_EQ(sink.bytes[8], 3);
    EXPECT_EQ(std::string(sink.bytes.begin() + 16, sink.bytes.end()), "GET / HTTP/1.1\r\n\r\n");

    sink.accept = false;
    tagged = GetModifiedMdl(request, sizeof(request) - 1, 3);
    ASSERT_NE(tagged, nullptr);
    EXPECT_EQ(OsStreamInject(&input, tagged), OS_STREAM_INJECT_FAILED);
    ZorvaneFreeTaggedBuffer(tagged);  // still the caller's
    input.platformContext = nullptr;
    tagged = GetModifiedMdl(request, sizeof(request) - 1, 3);
    ASSERT_NE(tagged, nullptr);
    EXPECT_EQ(OsStreamInject(&input, tagged), OS_STREAM_INJECT_FAILED);
    ZorvaneFreeTaggedBuffer(tagged);
    ZorvaneConfigCleanup();
}

// The packet operations HTTPS inspection uses, over a captured datagram
// with padding after it (as a capture buffer may have).
TEST(LinuxOsTest, PacketReadsAndTheWritableClone) {
    ASSERT_EQ(ZorvaneInitPools(), 1);
    std::vector<uint8_t> ip = {0x45, 0, 0, 50, 0,    0,    0,    0,    64,   6,    0, 0, 10, 0,
                               0,    2, 1, 2,  3,    4,    0xC3, 0x50, 0x01, 0xBB, 0, 0, 0,  1,
                               0,    0, 0, 0,  0x50, 0x18, 0,    0,    0,    0,    0, 0};
    for (uint8_t i = 0; i < 10; ++i) {
        ip.push_back(static_cast<uint8_t>(0xA0 + i));  // payload
    }
    ip.insert(ip.end(), {0xEE, 0xEE});  // padding, not payload
    ZorvanePacket* packet = ZorvaneMakeFlatPacket(ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4, ip.data(),
                                                  static_cast<uint32_t>(ip.size()));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->localPort, 50000);
    EXPECT_EQ(packet->remotePort, 443);
    EXPECT_EQ(packet->direction, static_cast<uint32_t>(ZORVANE_OUTBOUND));
    EXPECT_FALSE(OsPacketInjectedBySelf(packet));

    struct Read {
        uint32_t offset;
        uint32_t length;
        uint32_t got;
    } reads[] = {{0, 4, 4}, {8, 4, 2}, {10, 4, 0}, {200, 1, 0}, {0, 100, 10}};
    for (const Read& r : reads) {
        uint8_t buffer[100] = {};
        EXPECT_EQ(OsPacketReadTcpPayload(packet, r.offset, buffer, r.length), r.got) << r.offset;
        if (r.got > 0) {
            EXPECT_EQ(buffer[0], 0xA0 + r.offset);
        }
    }
    EXPECT_EQ(OsPacketTcpPayloadLength(packet), 10u);

    ASSERT_TRUE(OsPacketClone(packet));
    ASSERT_TRUE(OsPacketFirstCloneBuffer(packet));
    uint32_t length = 0;
    uint8_t* data = OsPacketCurrentData(packet, &length);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(length, ip.size());
    data[40] = 0x11;  // the clone changes, the classified data does not
    EXPECT_TRUE(OsPacketSetCurrentLength(packet, 41));
    EXPECT_FALSE(OsPacketSetCurrentLength(packet, 42));
    uint8_t first = 0;
    EXPECT_EQ(OsPacketReadTcpPayload(packet, 0, &first, 1), 1u);
    EXPECT_EQ(first, 0x11);
    EXPECT_FALSE(OsPacketNextCloneBuffer(packet));
    EXPECT_EQ(OsPacketReadTcpPayload(packet, 0, &first, 1), 1u);
    EXPECT_EQ(first, 0xA0);
    EXPECT_EQ(OsPacketCurrentData(packet, &length), nullptr);

    static_cast<ZorvaneFlatPacket*>(packet->netBufferList)->injected = true;
    EXPECT_TRUE(OsPacketInjectedBySelf(packet));
    ZorvaneFreePacket(packet);
    ZorvaneFreePools();
}

}  // namespace

TEST(PacketPathTest, OnlyUnixUserSidsNameAUid) {
    struct Case {
        const char* sid;
        bool ok;
        uint32_t uid;
    } cases[] = {
        {"S-1-22-1-1001", true, 1001},
        {"S-1-22-1-0", true, 0},
        {"S-1-22-1-4294967294", true, 4294967294u},
        {"S-1-22-1-4294967295", false, 0},  // (uid_t)-1 is nobody's
        {"S-1-22-1-99999999999", false, 0},
        {"S-1-22-1-", false, 0},
        {"S-1-22-1-01", false, 0},
        {"S-1-22-1-12a", false, 0},
        {"S-1-22-1--5", false, 0},
        {"S-1-22-2-100", false, 0},  // a group
        {"S-1-5-21-100-200-300-1001", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sid);
        uint32_t uid = 12345;
        EXPECT_EQ(PacketPath::uidOfSid(c.sid, &uid), c.ok);
        if (c.ok) {
            EXPECT_EQ(uid, c.uid);
        }
    }
    uint32_t uid = 0;
    EXPECT_FALSE(PacketPath::uidOfSid(nullptr, &uid));
}

// The owner of the connecting side, not of the side that accepted it.
TEST(PacketPathTest, SocketOwnerOfTheConnectingSide) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "skipped: needs root to connect as another user";
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(1);
        }
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            _exit(2);
        }
        char done = 0;
        (void)!read(ready[0], &done, 1);  // keeps the socket until the lookup ran
        _exit(0);
    }
    sockaddr_in peer{};
    length = sizeof(peer);
    const int accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    ASSERT_GE(accepted, 0);
    uint32_t uid = 0;
    EXPECT_TRUE(SocketOwnerUid(peer, address, &uid));
    EXPECT_EQ(uid, 65534u);
    // The accepting side's own socket is not what is asked for.
    sockaddr_in unknown = peer;
    unknown.sin_port = htons(1);
    EXPECT_FALSE(SocketOwnerUid(unknown, address, &uid));
    (void)!write(ready[1], "x", 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(accepted);
    close(listener);
    close(ready[0]);
    close(ready[1]);
}

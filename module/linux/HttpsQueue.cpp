#include "HttpsQueue.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Classify.h"
#include "FlatPacket.h"
#include "Https.h"
#include "LinuxOs.h"
#include "Packet.h"
#include "ZorvaneLog.h"

namespace {

// The hooks are plain functions: they reach the one queue through here.
std::mutex gInstanceMutex;
HttpsQueue* gInstance = nullptr;

constexpr uint8_t kTcpSyn = 0x02;
constexpr uint8_t kTcpRst = 0x04;
constexpr uint8_t kTcpAck = 0x10;

uint32_t load32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

void store16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

// The bytes to send for a packet the filter injects: its rewritten data when
// it has one, else the data as it was queued.
const ZorvaneFlatPacket* injectedData(ZorvanePacket* packet) {
    if (packet->newPacket != 0 && packet->newList != nullptr) {
        return static_cast<const ZorvaneFlatPacket*>(packet->newList);
    }
    if (packet->clone != nullptr) {
        return static_cast<const ZorvaneFlatPacket*>(packet->clone);
    }
    return static_cast<const ZorvaneFlatPacket*>(packet->netBufferList);
}

}  // namespace

HttpsQueue::HttpsQueue(uint16_t queueNumber, uint32_t mark)
    : mQueueNumber(queueNumber), mMark(mark) {}

HttpsQueue::~HttpsQueue() {
    stop();
}

bool HttpsQueue::start(std::string* error) {
    mHandle = nfq_open();
    if (mHandle == nullptr) {
        *error = std::string("netfilter queue: ") + strerror(errno);
        return false;
    }
    mQueue = nfq_create_queue(mHandle, mQueueNumber, &HttpsQueue::onPacket, this);
    if (mQueue == nullptr) {
        *error = "netfilter queue " + std::to_string(mQueueNumber) +
                 " cannot be bound: " + strerror(errno);
        stop();
        return false;
    }
    if (nfq_set_mode(mQueue, NFQNL_COPY_PACKET, 0xFFFF) < 0 ||
        nfq_set_queue_flags(mQueue, NFQA_CFG_F_UID_GID, NFQA_CFG_F_UID_GID) < 0) {
        *error = std::string("netfilter queue settings: ") + strerror(errno);
        stop();
        return false;
    }
    nfq_set_queue_maxlen(mQueue, 4096);
    mRawFd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (mRawFd < 0 || setsockopt(mRawFd, SOL_SOCKET, SO_MARK, &mMark, sizeof(mMark)) != 0) {
        *error = std::string("raw socket: ") + strerror(errno);
        stop();
        return false;
    }
    if (pipe2(mWakeFds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        stop();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(gInstanceMutex);
        gInstance = this;
    }
    LinuxOs::setPacketHooks({&HttpsQueue::injectHook, &HttpsQueue::releaseHook});
    mThread = std::thread([this] { loop(); });
    return true;
}

void HttpsQueue::stop() {
    if (mThread.joinable()) {
        const char wake = 1;
        (void)!write(mWakeFds[1], &wake, 1);
        mThread.join();
    }
    {
        std::lock_guard<std::mutex> lock(gInstanceMutex);
        if (gInstance == this) {
            gInstance = nullptr;
            LinuxOs::setPacketHooks({nullptr, nullptr});
        }
    }
    {
        // Packets the filter still holds no longer have a queue to answer.
        std::lock_guard<std::mutex> verdictLock(mVerdictMutex);
        std::lock_guard<std::mutex> lock(mPendingMutex);
        mPending.clear();
        if (mQueue != nullptr) {
            nfq_destroy_queue(mQueue);
            mQueue = nullptr;
        }
        if (mHandle != nullptr) {
            nfq_close(mHandle);
            mHandle = nullptr;
        }
    }
    for (int* fd : {&mRawFd, &mWakeFds[0], &mWakeFds[1]}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void HttpsQueue::loop() {
    const int fd = nfq_fd(mHandle);
    alignas(16) static char buffer[0x10000 + 4096];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {mWakeFds[0], POLLIN, 0}};
        const int ready = poll(fds, 2, 1000);
        if (ready < 0 && errno != EINTR) {
            ZorvLog(ZORVANE_DBG_ERROR, "https queue: poll failed: %s\n", strerror(errno));
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (ready > 0 && fds[0].revents != 0) {
            const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n > 0) {
                nfq_handle_packet(mHandle, buffer, static_cast<int>(n));
            } else if (n < 0 && errno == ENOBUFS) {
                ZorvLog(ZORVANE_DBG_ERROR, "https queue: the kernel dropped packets\n");
            }
        }
        // Holds and assemblies age out even when no packet comes.
        ZorvaneHttpsHousekeeping();
    }
}

int HttpsQueue::onPacket(nfq_q_handle*, nfgenmsg*, nfq_data* data, void* self) {
    return static_cast<HttpsQueue*>(self)->handle(data);
}

void HttpsQueue::verdict(uint32_t id, uint32_t verdict, const uint8_t* bytes, uint32_t length) {
    std::lock_guard<std::mutex> lock(mVerdictMutex);
    if (mQueue != nullptr) {
        nfq_set_verdict(mQueue, id, verdict, bytes != nullptr ? length : 0, bytes);
    }
}

bool HttpsQueue::verdictFor(ZorvanePacket* packet, uint32_t verdictCode, const uint8_t* bytes,
                            uint32_t length) {
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mPendingMutex);
        const auto it = mPending.find(packet);
        if (it == mPending.end()) {
            return false;
        }
        id = it->second;
        mPending.erase(it);
    }
    verdict(id, verdictCode, bytes, length);
    return true;
}

int HttpsQueue::handle(nfq_data* data) {
    const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
    if (header == nullptr) {
        return 0;
    }
    const uint32_t id = ntohl(header->packet_id);
    const bool outbound = header->hook == NF_INET_LOCAL_OUT;
    unsigned char* bytes = nullptr;
    const int length = nfq_get_payload(data, &bytes);
    ZorvanePacket* packet =
        length > 0 ? ZorvaneMakeFlatPacket(outbound ? ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4
                                                    : ZORVANE_LAYER_INBOUND_IPPACKET_V4,
                                           bytes, static_cast<uint32_t>(length))
                   : nullptr;
    if (packet == nullptr) {
        verdict(id, NF_DROP, nullptr, 0);  // nothing to judge it by: fail closed
        return 0;
    }
    const uint8_t* tcp = OsPacketTcpHeader(packet);
    if (outbound && tcp != nullptr && (tcp[13] & (kTcpSyn | kTcpAck)) == kTcpSyn) {
        // A new connection: bind its port to the owner's child, as the
        // authorisation of a connection does (the queue knows no process).
        uint32_t uid = 0;
        if (nfq_get_uid(data, &uid) != 0) {
            char sid[32];
            snprintf(sid, sizeof(sid), "S-1-22-1-%u", uid);
            ZorvaneClassifyInput authorise{};
            authorise.layer = ZORVANE_LAYER_AUTH_CONNECT;
            authorise.direction = ZORVANE_OUTBOUND;
            authorise.writable = true;
            authorise.userSid = sid;
            authorise.localAddress = ntohl(packet->localAddress);
            authorise.remoteAddress = ntohl(packet->remoteAddress);
            authorise.localPort = packet->localPort;
            authorise.remotePort = packet->remotePort;
            ZorvaneClassifyDecision ignored{};
            ZorvaneAleAuthConnectClassify(&authorise, &ignored);
        }
    }
    {
        // Registered first: the filter may inject a held packet from another
        // thread before the classify returns.
        std::lock_guard<std::mutex> lock(mPendingMutex);
        mPending[packet] = id;
    }
    ZorvaneClassifyDecision decision{};
    if (ZorvaneClassifyHttpsPacket(packet, outbound, &decision)) {
        return 0;  // the filter owns it: released, rewritten or dropped later
    }
    // An inbound packet the filter leaves undecided belongs to a connection
    // whose host is still being asked about (a ServerHello before the
    // verdict): dropped, the server sends it again once the verdict is in.
    const bool accept = decision.decided ? decision.action == ZORVANE_ACTION_PERMIT : outbound;
    verdictFor(packet, accept ? NF_ACCEPT : NF_DROP, nullptr, 0);
    ZorvaneFreePacket(packet);
    return 0;
}

bool HttpsQueue::injectHook(ZorvanePacket* packet, bool receive) {
    {
        std::lock_guard<std::mutex> lock(gInstanceMutex);
        HttpsQueue* queue = gInstance;
        const ZorvaneFlatPacket* flat = injectedData(packet);
        if (queue == nullptr || flat == nullptr || flat->length < 20) {
            return false;
        }
        const uint32_t total = static_cast<uint32_t>(flat->data[2]) << 8 | flat->data[3];
        const uint32_t length = total < flat->length ? total : flat->length;
        if (!queue->verdictFor(packet, NF_ACCEPT, flat->data, length)) {
            return false;
        }
        if (receive && packet->clone != nullptr) {
            // The block reply took the ServerHello's place: the client sees
            // the reply and the FIN; the server is told the connection is gone.
            const auto* original = static_cast<const ZorvaneFlatPacket*>(packet->netBufferList);
            queue->resetServer(original->data, original->length);
        }
    }
    // Outside the lock: freeing runs the release hook.
    ZorvaneFreePacket(packet);
    return true;
}

void HttpsQueue::releaseHook(ZorvanePacket* packet) {
    std::lock_guard<std::mutex> lock(gInstanceMutex);
    if (gInstance != nullptr) {
        // Freed without being injected: the packet is dropped.
        gInstance->verdictFor(packet, NF_DROP, nullptr, 0);
    }
}

void HttpsQueue::resetServer(const uint8_t* ip, uint32_t length) {
    const uint32_t h = (ip[0] & 0x0Fu) * 4;
    if (length < h + 20) {
        return;
    }
    const uint8_t* tcp = ip + h;
    uint8_t reset[40] = {};
    reset[0] = 0x45;
    store16(reset + 2, sizeof(reset));
    reset[8] = 64;
    reset[9] = IPPROTO_TCP;
    memcpy(reset + 12, ip + 16, 4);  // from the client
    memcpy(reset + 16, ip + 12, 4);  // to the server
    store16(reset + 10, IpHeaderChecksum(reset, 20));
    uint8_t* out = reset + 20;
    memcpy(out, tcp + 2, 2);      // the client's port
    memcpy(out + 2, tcp, 2);      // the server's port
    memcpy(out + 4, tcp + 8, 4);  // where the server expects the client to be
    out[12] = 5 << 4;
    out[13] = kTcpRst;
    store16(out + 16, tcp_sum_calc(20, load32(reset + 12), load32(reset + 16), out));
    sockaddr_in server{};
    server.sin_family = AF_INET;
    memcpy(&server.sin_addr, ip + 12, 4);
    if (sendto(mRawFd, reset, sizeof(reset), 0, reinterpret_cast<sockaddr*>(&server),
               sizeof(server)) != static_cast<ssize_t>(sizeof(reset))) {
        ZorvLog(ZORVANE_DBG_ERROR, "https queue: reset to the server not sent: %s\n",
                strerror(errno));
    }
}

#include "TaggingProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netfilter_ipv4.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "Accept.h"
#include "Classify.h"
#include "LinuxOs.h"
#include "ZorvaneLog.h"

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kIdleTimeoutMs = 300000;  // an idle keep-alive connection ends
constexpr size_t kBufferSize = 16384;

uint32_t hostAddress(const sockaddr_in& address) {
    return ntohl(address.sin_addr.s_addr);
}
uint16_t hostPort(const sockaddr_in& address) {
    return ntohs(address.sin_port);
}

std::string text(const sockaddr_in& address) {
    char buffer[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, buffer, sizeof(buffer));
    return std::string(buffer) + ":" + std::to_string(hostPort(address));
}

bool sendAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool writeToSocket(void* argument, const uint8_t* data, uint32_t length) {
    return sendAll(*static_cast<int*>(argument), data, length);
}

// One exact socket lookup of `family`; the addresses are in network order.
bool diagLookup(uint8_t family, const void* src, const void* dst, size_t addressSize,
                uint16_t sport, uint16_t dport, uint32_t* uid) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return false;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = sport;
    message.request.id.idiag_dport = dport;
    memcpy(message.request.id.idiag_src, src, addressSize);
    memcpy(message.request.id.idiag_dst, dst, addressSize);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    if (sendto(fd, &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) == static_cast<ssize_t>(sizeof(message))) {
        alignas(nlmsghdr) char reply[8192];
        const ssize_t n = recv(fd, reply, sizeof(reply), 0);
        auto* header = reinterpret_cast<nlmsghdr*>(reply);
        if (n > 0 && NLMSG_OK(header, static_cast<unsigned>(n)) &&
            header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            *uid = diag->idiag_uid;
            found = true;
        }
    }
    close(fd);
    return found;
}

// SO_ORIGINAL_DST: where the connection was going before the redirect.
bool originalDestination(int fd, sockaddr_in* destination) {
    socklen_t length = sizeof(*destination);
    return getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, destination, &length) == 0 &&
           destination->sin_family == AF_INET;
}

// Connects with a time-out; the socket carries `mark` so that the rules let
// it pass. -1 on failure.
int connectMarked(const sockaddr_in& destination, uint32_t mark) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "proxy: cannot mark its socket: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof(destination)) != 0) {
        if (errno != EINPROGRESS) {
            close(fd);
            return -1;
        }
        pollfd wait{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof(error);
        if (poll(&wait, 1, kConnectTimeoutMs) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            close(fd);
            return -1;
        }
    }
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

}  // namespace

bool SocketOwnerUid(const sockaddr_in& local, const sockaddr_in& remote, uint32_t* uid) {
    if (diagLookup(AF_INET, &local.sin_addr, &remote.sin_addr, 4, local.sin_port, remote.sin_port,
                   uid)) {
        return true;
    }
    // An IPv6 socket may carry the IPv4 connection (a v4-mapped address).
    in6_addr src{};
    in6_addr dst{};
    src.s6_addr[10] = src.s6_addr[11] = 0xFF;
    dst.s6_addr[10] = dst.s6_addr[11] = 0xFF;
    memcpy(&src.s6_addr[12], &local.sin_addr, 4);
    memcpy(&dst.s6_addr[12], &remote.sin_addr, 4);
    return diagLookup(AF_INET6, &src, &dst, sizeof(src), local.sin_port, remote.sin_port, uid);
}

TaggingProxy::TaggingProxy(uint32_t mark) : mMark(mark) {}

TaggingProxy::~TaggingProxy() {
    stop();
}

bool TaggingProxy::start(std::string* error) {
    if (pipe2(mWakeFds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    mListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (mListenFd < 0 ||
        bind(mListenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(mListenFd, 128) != 0 ||
        getsockname(mListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error = std::string("proxy socket: ") + strerror(errno);
        return false;
    }
    mPort = hostPort(address);
    mAcceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void TaggingProxy::stop() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mStopping) {
            return;
        }
        mStopping = true;
    }
    if (mWakeFds[1] >= 0) {
        const char wake = 1;
        (void)!write(mWakeFds[1], &wake, 1);
    }
    if (mAcceptThread.joinable()) {
        mAcceptThread.join();
    }
    // The wake byte is never read: every connection's poll sees it.
    std::list<Connection> connections;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        connections.splice(connections.end(), mConnections);
    }
    for (Connection& connection : connections) {
        connection.thread.join();
    }
    for (int* fd : {&mListenFd, &mWakeFds[0], &mWakeFds[1]}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void TaggingProxy::reapLocked() {
    for (auto it = mConnections.begin(); it != mConnections.end();) {
        if (it->done.load()) {
            it->thread.join();
            it = mConnections.erase(it);
        } else {
            ++it;
        }
    }
}

void TaggingProxy::acceptLoop() {
    for (;;) {
        const int client = acceptUntilWoken(mListenFd, mWakeFds[0], "proxy");
        if (client < 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(mMutex);
        reapLocked();
        if (mStopping || mConnections.size() >= kMaxConnections) {
            ZorvLog(ZORVANE_DBG_ERROR, "proxy: too many connections, one refused\n");
            close(client);
            continue;
        }
        mConnections.emplace_back();
        Connection* connection = &mConnections.back();
        connection->client = client;
        try {
            connection->thread = std::thread([this, connection] {
                serve(connection);
                close(connection->client);
                connection->done = true;
            });
        } catch (const std::system_error&) {
            ZorvLog(ZORVANE_DBG_ERROR, "proxy: no thread for a connection, refused\n");
            close(client);
            mConnections.pop_back();
        }
    }
}

void TaggingProxy::serve(Connection* connection) {
    const int client = connection->client;
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    sockaddr_in original{};
    if (getpeername(client, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET || !originalDestination(client, &original)) {
        ZorvLog(ZORVANE_DBG_ERROR, "proxy: connection without an original destination\n");
        return;
    }
    // Reached directly, not through the rules: there is nowhere to go.
    if (hostPort(original) == mPort && hostAddress(original) == INADDR_LOOPBACK) {
        return;
    }
    uint32_t uid = 0;
    if (!SocketOwnerUid(peer, original, &uid)) {
        ZorvLog(ZORVANE_DBG_ERROR, "proxy: no owner found for %s -> %s\n", text(peer).c_str(),
                text(original).c_str());
        return;
    }
    char sid[32];
    snprintf(sid, sizeof(sid), "S-1-22-1-%u", uid);
    const uint64_t flow = mNextFlow.fetch_add(1);

    ZorvaneClassifyInput connect{};
    connect.layer = ZORVANE_LAYER_CONNECT_REDIRECT;
    connect.direction = ZORVANE_OUTBOUND;
    connect.writable = true;
    connect.hasFlowHandle = true;
    connect.flowHandle = flow;
    connect.userSid = sid;
    connect.localAddress = hostAddress(peer);
    connect.localPort = hostPort(peer);
    connect.remoteAddress = hostAddress(original);
    connect.remotePort = hostPort(original);
    ZorvaneClassifyDecision decision{};
    ZorvaneAleConnectRedirectClassify(&connect, &decision);
    sockaddr_in destination = original;
    if (decision.setRemote) {
        destination.sin_addr.s_addr = htonl(decision.remoteAddress);
        destination.sin_port = htons(decision.remotePort);
    }
    const int upstream = connectMarked(destination, mMark);
    if (upstream < 0) {
        ZorvLog(ZORVANE_DBG_INFO, "proxy: cannot reach %s for %s: %s\n", text(destination).c_str(),
                sid, strerror(errno));
        return;
    }
    ZorvaneClassifyInput authorise = connect;
    authorise.layer = ZORVANE_LAYER_AUTH_CONNECT;
    authorise.remoteAddress = hostAddress(destination);
    authorise.remotePort = hostPort(destination);
    ZorvaneAleAuthConnectClassify(&authorise, &decision);
    if (decision.action != ZORVANE_ACTION_PERMIT) {
        close(upstream);
        return;
    }

    int upstreamFd = upstream;
    LinuxOs::StreamSink sink{writeToSocket, &upstreamFd};
    ZorvaneClassifyInput send = connect;
    send.layer = ZORVANE_LAYER_STREAM;
    send.streamFlags = ZORVANE_STREAM_FLAG_SEND;
    send.remoteAddress = authorise.remoteAddress;
    send.remotePort = authorise.remotePort;
    send.platformContext = &sink;

    static thread_local uint8_t buffer[kBufferSize];
    bool clientOpen = true;
    bool upstreamOpen = true;
    while (clientOpen || upstreamOpen) {
        pollfd fds[3] = {{clientOpen ? client : -1, POLLIN, 0},
                         {upstreamOpen ? upstream : -1, POLLIN, 0},
                         {mWakeFds[0], POLLIN, 0}};
        const int ready = poll(fds, 3, kIdleTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || fds[2].revents != 0) {
            break;
        }
        if (fds[0].revents != 0) {
            const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                clientOpen = false;
                shutdown(upstream, SHUT_WR);
            } else {
                send.data = buffer;
                send.dataLength = static_cast<uint32_t>(n);
                ZorvaneStreamClassify(&send, &decision);
                if (decision.action == ZORVANE_ACTION_PERMIT) {
                    if (!sendAll(upstream, buffer, static_cast<size_t>(n))) {
                        break;
                    }
                } else if (decision.injectedLength == 0) {
                    break;  // refused and nothing sent in its place
                }
            }
        }
        if (fds[1].revents != 0) {
            const ssize_t n = recv(upstream, buffer, sizeof(buffer), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                upstreamOpen = false;
                shutdown(client, SHUT_WR);
            } else if (!sendAll(client, buffer, static_cast<size_t>(n))) {
                break;
            }
        }
    }
    close(upstream);
}

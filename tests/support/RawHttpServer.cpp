#include "RawHttpServer.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
namespace {
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
void closeSocket(SocketHandle s) {
    closesocket(s);
}
constexpr int kSendFlags = 0;
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
void closeSocket(SocketHandle s) {
    close(s);
}
constexpr int kSendFlags = MSG_NOSIGNAL;  // a client gone is a failed send
}  // namespace
#endif

#include <algorithm>
#include <cstdint>
#include <stdexcept>

RawHttpServer::RawHttpServer(Reply reply) : mReply(std::move(reply)) {
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    SocketHandle listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener == kNoSocket ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("RawHttpServer: cannot listen on loopback");
    }
    mListener = static_cast<long long>(listener);
    mPort = ntohs(address.sin_port);
    mThread = std::thread(&RawHttpServer::serve, this);
}

RawHttpServer::~RawHttpServer() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mStopping = true;
    }
    // A connection of our own wakes the accept.
    SocketHandle waker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(mPort));
    connect(waker, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    mThread.join();
    closeSocket(waker);
    closeSocket(static_cast<SocketHandle>(mListener));
}

void RawHttpServer::streamBody(uint64_t bytes, bool declareLength) {
    std::lock_guard<std::mutex> lock(mLock);
    mStreamBytes = bytes;
    mStreamDeclaresLength = declareLength;
}

void RawHttpServer::stream(long long socketValue) {
    const SocketHandle client = static_cast<SocketHandle>(socketValue);
    uint64_t total = 0;
    bool declare = false;
    {
        std::lock_guard<std::mutex> lock(mLock);
        total = mStreamBytes;
        declare = mStreamDeclaresLength;
    }
    const std::string head = declare
                                 ? "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(total) +
                                       "\r\nConnection: close\r\n\r\n"
                                 : std::string("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
    if (send(client, head.data(), static_cast<int>(head.size()), kSendFlags) ==
        static_cast<int>(head.size())) {
        const std::string piece(64 * 1024, 'x');
        uint64_t sent = 0;
        while (sent < total) {
            const int want = static_cast<int>(std::min<uint64_t>(piece.size(), total - sent));
            const int put = static_cast<int>(send(client, piece.data(), want, kSendFlags));
            if (put <= 0) {
                break;
            }
            sent += static_cast<uint64_t>(put);
            mBytesStreamed += static_cast<uint64_t>(put);
        }
    }
    ++mStreamsEnded;
}

void RawHttpServer::setReplyHeaders(const std::string& lines) {
    std::lock_guard<std::mutex> lock(mLock);
    mReplyHeaders = lines;
}

namespace {

// The announced body length of a request head; 0 when none is announced.
size_t announcedLength(const std::string& head) {
    const std::string name = "\r\nContent-Length: ";
    const size_t at = head.find(name);
    return at == std::string::npos ? 0 : std::stoul(head.substr(at + name.size()));
}

}  // namespace

void RawHttpServer::setStatusLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mLock);
    mStatusLine = line;
}

std::vector<std::string> RawHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mRequests;
}

void RawHttpServer::serve() {
    for (;;) {
        SocketHandle client = accept(static_cast<SocketHandle>(mListener), nullptr, nullptr);
        {
            std::lock_guard<std::mutex> lock(mLock);
            if (mStopping) {
                if (client != kNoSocket) {
                    closeSocket(client);
                }
                return;
            }
        }
        if (client == kNoSocket) {
            continue;
        }
        std::string request;
        char chunk[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const int got = static_cast<int>(recv(client, chunk, sizeof(chunk), 0));
            if (got <= 0) {
                break;
            }
            request.append(chunk, static_cast<size_t>(got));
        }
        const size_t headEnd = request.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            const std::string head = request.substr(0, headEnd + 4);
            const size_t whole = head.size() + announcedLength(head);
            if (request.size() < whole &&
                head.find("\r\nExpect: 100-continue") != std::string::npos) {
                const std::string goOn = "HTTP/1.1 100 Continue\r\n\r\n";
                send(client, goOn.data(), static_cast<int>(goOn.size()), kSendFlags);
            }
            while (request.size() < whole) {
                const int got = static_cast<int>(recv(client, chunk, sizeof(chunk), 0));
                if (got <= 0) {
                    break;
                }
                request.append(chunk, static_cast<size_t>(got));
            }
        }
        const size_t targetStart = request.find(' ') + 1;
        const std::string target =
            request.substr(targetStart, request.find(' ', targetStart) - targetStart);
        bool streamed = false;
        std::string replyHeaders;
        {
            std::lock_guard<std::mutex> lock(mLock);
            mRequests.push_back(request);
            streamed = mStreamBytes != 0;
            replyHeaders = mReplyHeaders;
        }
        if (streamed) {
            stream(static_cast<long long>(client));
            closeSocket(client);
            continue;
        }
        const std::string body = mReply(target);
        std::string statusLine;
        {
            std::lock_guard<std::mutex> lock(mLock);
            statusLine = mStatusLine;
        }
        const std::string reply = statusLine +
                                  "\r\nContent-Length: " + std::to_string(body.size()) +
                                  "\r\nConnection: close\r\n" + replyHeaders + "\r\n" + body;
        send(client, reply.data(), static_cast<int>(reply.size()), 0);
        closeSocket(client);
    }
}

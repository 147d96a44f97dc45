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
}  // namespace
#endif

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
        const size_t targetStart = request.find(' ') + 1;
        const std::string target =
            request.substr(targetStart, request.find(' ', targetStart) - targetStart);
        const std::string body = mReply(target);
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
        {
            std::lock_guard<std::mutex> lock(mLock);
            mRequests.push_back(request);
        }
        send(client, reply.data(), static_cast<int>(reply.size()), 0);
        closeSocket(client);
    }
}

#pragma once

// The Linux packet path's plain-HTTP half: a transparent proxy on loopback
// that the rules send mapped users' port-80 connections to. For each
// connection it learns from the kernel the original destination
// (SO_ORIGINAL_DST) and the connecting socket's owner (socket diagnostics),
// asks the filter's connect logic where the connection goes, connects there
// with its own socket mark (never filtered), and passes every send through
// the filter's stream logic, which puts the tag before each request.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

class TaggingProxy {
public:
    // `mark` is set on every connection the proxy makes.
    explicit TaggingProxy(uint32_t mark);
    ~TaggingProxy();
    TaggingProxy(const TaggingProxy&) = delete;
    TaggingProxy& operator=(const TaggingProxy&) = delete;

    // Listens on a free port of 127.0.0.1. False with the reason in *error.
    bool start(std::string* error);
    uint16_t port() const { return mPort; }
    // Stops accepting, ends every connection and waits for their threads.
    void stop();

    // At most this many connections at once; more are refused (closed).
    static constexpr size_t kMaxConnections = 512;

private:
    struct Connection {
        int client = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void serve(Connection* connection);
    void reapLocked();

    uint32_t mMark;
    int mListenFd = -1;
    int mWakeFds[2] = {-1, -1};
    uint16_t mPort = 0;
    std::thread mAcceptThread;
    std::mutex mMutex;  // guards mConnections and mStopping
    std::list<Connection> mConnections;
    bool mStopping = false;
    std::atomic<uint64_t> mNextFlow{1};
};

// The owner of the local TCP socket whose connection is `local` -> `remote`,
// from the kernel's socket diagnostics. False when no such socket is found.
bool SocketOwnerUid(const sockaddr_in& local, const sockaddr_in& remote, uint32_t* uid);

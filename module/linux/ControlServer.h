#pragma once

// The filter's control device on Linux: a Unix stream socket that only the
// host's own user (root in production) may use. Each connection is one open
// handle; its requests run one after another on a thread of its own, so a
// waiting read on one handle never holds up control codes on another.

#include <sys/types.h>

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "zorvane_ioctl.h"

// How the server completes one device control (the filter's dispatch; a
// test host may wrap it).
using ZorvaneDeviceControlFn = E_ZorvaneIoStatus (*)(uint32_t code, void* buffer,
                                                     uint32_t inputLength, uint32_t outputLength,
                                                     uint32_t* returned);

class ControlServer {
public:
    explicit ControlServer(std::string path, ZorvaneDeviceControlFn control = nullptr);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds the socket (mode 0600) and starts accepting. False with the reason
    // in *error, e.g. when another host answers on the path.
    bool start(std::string* error);
    // Stops accepting, ends every connection (a waiting read returns) and
    // waits for their threads; removes the socket file.
    void stop();

private:
    struct Connection {
        int fd;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void serve(Connection* connection);
    bool peerAllowed(int fd) const;
    // Joins and forgets connections whose thread ended. Expects mMutex held.
    void reapLocked();

    std::string mPath;
    ZorvaneDeviceControlFn mControl;
    int mListenFd = -1;
    int mWakeFds[2] = {-1, -1};  // a pipe that wakes the accept loop for stop
    ino_t mSocketInode = 0;
    std::thread mAcceptThread;
    std::mutex mMutex;  // guards mConnections and mStopping
    std::list<Connection> mConnections;
    bool mStopping = false;
};

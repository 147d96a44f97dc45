#pragma once

#include <cstdint>

#include "LinuxSocketServer.h"
#include "base/String.h"

// A reusable command-socket server (the Linux WinPipe): one client at a
// time on a Unix stream socket open to every local user.
class LinuxPipe {
public:
    // Stores both and creates the socket. The time-out is the clients' wait
    // on Windows; a socket client's connect does not wait, so it is kept only.
    LinuxPipe(String name, uint32_t timeout);
    ~LinuxPipe() = default;
    LinuxPipe(const LinuxPipe&) = delete;
    LinuxPipe& operator=(const LinuxPipe&) = delete;

    // Connects, then one read of at most `length` bytes; sets `length` to the
    // count read and gives 1, else 0.
    int read(char* buffer, uint32_t& length);
    // Connects, then writes `length` bytes; sets `length` to the count
    // written; 1 on success, 0 otherwise.
    int write(const char* buffer, uint32_t& length);
    // Reads until all `length` bytes arrived (a frame may come in pieces).
    bool readAll(char* buffer, uint32_t length);
    // Reads and writes all bytes with the client that is connected. Unlike
    // read and write they never wait for a new client, so a frame is never
    // pieced together from two clients and an answer never reaches someone
    // who did not ask.
    bool receiveFromClient(char* buffer, uint32_t length);
    bool sendToClient(const char* buffer, uint32_t length);
    // 1 when a client is connected (waiting for one if needed). A failed
    // wait is tried once more; without a socket it waits 1000 ms, tries to
    // create it again and gives 0.
    int connect();
    void createPipe();
    // Ends the current client's connection.
    void disconnect() { mServer.dropClient(); }

    bool exists() const { return mServer.listening(); }
    int lastError() const { return mServer.lastError(); }
    const String& name() const { return mServer.path(); }
    uint32_t timeout() const { return mPipeTimeout; }

private:
    LinuxSocketServer mServer;
    uint32_t mPipeTimeout;
};

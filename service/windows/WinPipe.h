#pragma once

#include <cstdint>
#include <memory>

#include "base/String.h"
#include "WinPipeSecurity.h"

// A reusable pipe server (the notifier's command pipe): one instance, byte
// mode, open to Everyone, with the given name and default time-out.
class WinPipe {
public:
    // Stores both and creates the pipe.
    WinPipe(String name, uint32_t timeout);
    // Disconnects and closes the pipe if it exists.
    ~WinPipe();
    WinPipe(const WinPipe&) = delete;
    WinPipe& operator=(const WinPipe&) = delete;

    // Connects, then one read of at most `length` bytes; sets `length` to the
    // count read and gives 1, else 0.
    int read(char* buffer, uint32_t& length);
    // Connects, then one write of `length` bytes; sets `length` to the count
    // written and gives the write's result (0 if not connected).
    int write(const char* buffer, uint32_t& length);
    // Reads until all `length` bytes arrived (a frame may come in pieces).
    bool readAll(char* buffer, uint32_t length);
    // Reads and writes all bytes with the client that is connected. Unlike
    // read and write they never wait for a new client, so a frame is never
    // pieced together from two clients and an answer never reaches someone
    // who did not ask.
    bool receiveFromClient(char* buffer, uint32_t length);
    bool sendToClient(const char* buffer, uint32_t length);
    // 1 when a client is connected (error 535 included). After any other
    // error it frees the instance and waits for a client once more. Without
    // a pipe it waits 1000 ms, tries to create it again and gives 0.
    int connect();
    void createPipe();
    std::unique_ptr<WinPipeSecurity> getSecurityDescriptor();
    // Ends the current client's connection.
    void disconnect();

    bool exists() const;
    int lastError() const { return mLastError; }
    void* handle() const { return mPipeHandle; }  // HANDLE

private:
    void* mPipeHandle;  // HANDLE; INVALID_HANDLE_VALUE until created
    String mPipeLocation;
    uint32_t mPipeTimeout;
    int mLastError = 0;
};

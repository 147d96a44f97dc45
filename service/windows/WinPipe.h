#pragma once

#include <cstdint>
#include <memory>

#include "WinPipeSecurity.h"
#include "base/String.h"
#include "port/PipeServer.h"

// The Windows pipe server: one named-pipe instance, byte mode, open to
// Everyone, with the given name and default time-out; one client at a time.
class WinPipe : public PipeServer {
public:
    // Stores both; create() makes the pipe.
    WinPipe(String name, uint32_t timeout);
    // Closes the pipe if it exists.
    ~WinPipe() override;
    WinPipe(const WinPipe&) = delete;
    WinPipe& operator=(const WinPipe&) = delete;

    bool create() override;
    bool exists() const override;
    // ConnectNamedPipe; a client that came before the call (error 535) counts
    // as connected. After any other error the instance a departed client left
    // is freed and null returned.
    std::unique_ptr<PipeConnection> waitForClient() override;
    int lastError() const override { return mLastError; }
    const String& name() const override { return mPipeLocation; }
    void* handle() const { return mPipeHandle; }  // HANDLE

private:
    void* mPipeHandle;  // HANDLE; INVALID_HANDLE_VALUE until created
    String mPipeLocation;
    uint32_t mPipeTimeout;
    int mLastError = 0;
};

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "WinPipeSecurity.h"
#include "base/String.h"
#include "port/PipeServer.h"

// The Windows pipe server: named-pipe instances in byte mode, open to
// Everyone, with the given name and default time-out. Each client gets an
// instance of its own; the next instance waits for the next client.
class WinPipe : public PipeServer {
public:
    // Instances at most: the channel's clients and the one listening.
    static constexpr uint32_t kMaxInstances = 32;

    // Stores both; create() makes the pipe.
    WinPipe(String name, uint32_t timeout);
    // Closes the listening instance if it exists.
    ~WinPipe() override;
    WinPipe(const WinPipe&) = delete;
    WinPipe& operator=(const WinPipe&) = delete;

    // Creates the listening instance; while no instance of ours is left, with
    // FILE_FLAG_FIRST_PIPE_INSTANCE, so a name someone else made first is
    // refused rather than shared.
    bool create() override;
    bool exists() const override;
    // Waits for a client on the listening instance (a client that came before
    // the wait, error 535, counts as connected), hands the instance to the
    // connection and makes the next one. After any other error the instance
    // is freed and null returned.
    std::unique_ptr<PipeConnection> waitForClient() override;
    void cancelWait() override;
    int lastError() const override { return mLastError; }
    const String& name() const override { return mPipeLocation; }
    void* handle() const { return mPipeHandle; }  // HANDLE

private:
    void* mPipeHandle;  // HANDLE; INVALID_HANDLE_VALUE until created
    void* mConnectEvent;  // HANDLE, manual reset
    void* mCancelEvent;   // HANDLE, manual reset; set by cancelWait
    String mPipeLocation;
    uint32_t mPipeTimeout;
    int mLastError = 0;
    // Instances handed to connections and still open.
    std::shared_ptr<std::atomic<int>> mConnected = std::make_shared<std::atomic<int>>(0);
};

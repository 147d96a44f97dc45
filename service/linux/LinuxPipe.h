#pragma once

#include <cstdint>
#include <memory>

#include "LinuxSocketServer.h"
#include "base/String.h"
#include "port/PipeServer.h"

// The Linux pipe server: a Unix stream socket open to every local user;
// every accepted client is a connection of its own.
class LinuxPipe : public PipeServer {
public:
    // Stores both; create() makes the socket. The time-out is the clients'
    // wait on Windows; a socket client's connect does not wait, so it is kept only.
    LinuxPipe(String name, uint32_t timeout);
    ~LinuxPipe() override = default;
    LinuxPipe(const LinuxPipe&) = delete;
    LinuxPipe& operator=(const LinuxPipe&) = delete;

    bool create() override { return mServer.listen(); }
    bool exists() const override { return mServer.listening(); }
    std::unique_ptr<PipeConnection> waitForClient() override;
    void cancelWait() override { mServer.cancelAccept(); }
    int lastError() const override { return mServer.lastError(); }
    const String& name() const override { return mServer.path(); }
    uint32_t timeout() const { return mPipeTimeout; }

private:
    LinuxSocketServer mServer;
    uint32_t mPipeTimeout;
};

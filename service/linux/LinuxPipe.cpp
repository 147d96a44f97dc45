#include "LinuxPipe.h"

namespace {

// The client the socket server has accepted; destroying it hangs up.
class LinuxPipeConnection : public PipeConnection {
public:
    explicit LinuxPipeConnection(LinuxSocketServer& server) : mServer(server) {}
    ~LinuxPipeConnection() override { mServer.dropClient(); }

    size_t readSome(char* buffer, size_t length) override {
        return mServer.receive(buffer, length);
    }
    bool writeAll(const char* data, size_t length) override {
        return mServer.sendAll(data, length);
    }
    int lastError() const override { return mServer.lastError(); }

private:
    LinuxSocketServer& mServer;
};

}  // namespace

std::unique_ptr<PipeServer> makePipeServer(String name, uint32_t timeoutMs) {
    return std::make_unique<LinuxPipe>(std::move(name), timeoutMs);
}

LinuxPipe::LinuxPipe(String name, uint32_t timeout)
    : mServer(std::move(name)), mPipeTimeout(timeout) {}

std::unique_ptr<PipeConnection> LinuxPipe::waitForClient() {
    if (!mServer.accept()) {
        return nullptr;
    }
    return std::make_unique<LinuxPipeConnection>(mServer);
}

#include "WinPipe.h"

#include <windows.h>

#include "base/Logger.h"

namespace {

// The client connected to the pipe's one instance; destroying it
// disconnects the instance for the next client.
class WinPipeConnection : public PipeConnection {
public:
    explicit WinPipeConnection(HANDLE pipe) : mPipe(pipe) {}
    ~WinPipeConnection() override { DisconnectNamedPipe(mPipe); }

    size_t readSome(char* buffer, size_t length) override {
        DWORD got = 0;
        if (!ReadFile(mPipe, buffer, static_cast<DWORD>(length), &got, nullptr)) {
            mLastError = static_cast<int>(GetLastError());
            return 0;
        }
        return got;
    }

    bool writeAll(const char* data, size_t length) override {
        size_t done = 0;
        while (done < length) {
            DWORD written = 0;
            if (!WriteFile(mPipe, data + done, static_cast<DWORD>(length - done), &written,
                           nullptr) ||
                written == 0) {
                mLastError = static_cast<int>(GetLastError());
                return false;
            }
            done += written;
        }
        return true;
    }

    int lastError() const override { return mLastError; }

private:
    HANDLE mPipe;
    int mLastError = 0;
};

}  // namespace

std::unique_ptr<PipeServer> makePipeServer(String name, uint32_t timeoutMs) {
    return std::make_unique<WinPipe>(std::move(name), timeoutMs);
}

WinPipe::WinPipe(String name, uint32_t timeout)
    : mPipeHandle(INVALID_HANDLE_VALUE), mPipeLocation(std::move(name)), mPipeTimeout(timeout) {}

WinPipe::~WinPipe() {
    if (mPipeHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(mPipeHandle);
    }
}

bool WinPipe::create() {
    std::unique_ptr<WinPipeSecurity> security = WinPipeSecurity::create();
    if (!security) {
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "cannot get security descriptor - failed to create pipe\n");
        mLastError = static_cast<int>(GetLastError());
        return false;
    }
    if (mPipeHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(mPipeHandle);
    }
    mPipeHandle = createServerPipe(mPipeLocation, mPipeTimeout, *security, mLastError);
    return mPipeHandle != INVALID_HANDLE_VALUE;
}

bool WinPipe::exists() const {
    return mPipeHandle != INVALID_HANDLE_VALUE;
}

std::unique_ptr<PipeConnection> WinPipe::waitForClient() {
    if (mPipeHandle == INVALID_HANDLE_VALUE) {
        mLastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    BOOL connected = ConnectNamedPipe(mPipeHandle, nullptr);
    const DWORD error = GetLastError();
    if (!connected && error != ERROR_PIPE_CONNECTED) {
        mLastError = static_cast<int>(error);
        DisconnectNamedPipe(mPipeHandle);
        return nullptr;
    }
    mLastError = 0;
    return std::make_unique<WinPipeConnection>(mPipeHandle);
}

#include "WinPipe.h"

#include <windows.h>

#include <atomic>

#include "WinOverlappedIo.h"
#include "WinProcessUser.h"
#include "base/Logger.h"

namespace {

// The client connected to one instance; destroying it disconnects and
// closes the instance.
class WinPipeConnection : public PipeConnection {
public:
    WinPipeConnection(HANDLE pipe, std::shared_ptr<std::atomic<int>> connected)
        : mPipe(pipe),
          mIoEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          mCancelEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          mConnected(std::move(connected)) {
        ++*mConnected;
        mPeer = clientUser();
    }
    ~WinPipeConnection() override {
        DisconnectNamedPipe(mPipe);
        CloseHandle(mPipe);
        for (HANDLE event : {mIoEvent, mCancelEvent}) {
            if (event) {
                CloseHandle(event);
            }
        }
        --*mConnected;
    }

    size_t readSome(char* buffer, size_t length, uint32_t timeoutMs) override {
        DWORD done = 0;
        return transfer(false, buffer, static_cast<DWORD>(length), timeoutMs, done) ? done : 0;
    }

    bool writeAll(const char* data, size_t length, uint32_t timeoutMs) override {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        size_t written = 0;
        while (written < length) {
            DWORD left = 0;
            if (timeoutMs > 0) {
                ULONGLONG now = GetTickCount64();
                left = now >= deadline ? 1 : static_cast<DWORD>(deadline - now);
            }
            DWORD done = 0;
            if (!transfer(true, const_cast<char*>(data + written),
                          static_cast<DWORD>(length - written), left, done)) {
                return false;
            }
            written += done;
        }
        return true;
    }

    bool timedOut() const override { return mTimedOut; }
    int lastError() const override { return mLastError; }
    void cancel() override { SetEvent(mCancelEvent); }
    String peerIdentity() const override { return mPeer; }

private:
    // One overlapped read or write, waiting for it, a cancel or the time-out.
    bool transfer(bool writing, char* data, DWORD length, uint32_t timeoutMs, DWORD& done) {
        mTimedOut = false;
        if (!mIoEvent || !mCancelEvent) {
            mLastError = ERROR_INVALID_HANDLE;
            return false;
        }
        if (!WinOverlappedIo::transfer(mPipe, mIoEvent, writing, data, length, timeoutMs, done,
                                       mLastError, mCancelEvent)) {
            mTimedOut = mLastError == WAIT_TIMEOUT;
            return false;
        }
        return true;
    }

    // The SID text of the user the client process runs as.
    String clientUser() const {
        ULONG pid = 0;
        int error = 0;
        return GetNamedPipeClientProcessId(mPipe, &pid) ? WinProcessUser::sidTextOf(pid, error)
                                                        : String();
    }

    HANDLE mPipe;
    HANDLE mIoEvent;
    HANDLE mCancelEvent;
    std::shared_ptr<std::atomic<int>> mConnected;
    String mPeer;
    bool mTimedOut = false;
    int mLastError = 0;
};

}  // namespace

std::unique_ptr<PipeServer> makePipeServer(String name, uint32_t timeoutMs) {
    return std::make_unique<WinPipe>(std::move(name), timeoutMs);
}

WinPipe::WinPipe(String name, uint32_t timeout)
    : mPipeHandle(INVALID_HANDLE_VALUE),
      mConnectEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      mCancelEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      mPipeLocation(std::move(name)),
      mPipeTimeout(timeout) {}

WinPipe::~WinPipe() {
    if (mPipeHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(mPipeHandle);
    }
    for (void* event : {mConnectEvent, mCancelEvent}) {
        if (event) {
            CloseHandle(event);
        }
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
    mPipeHandle = createServerPipe(mPipeLocation, mPipeTimeout, *security, kMaxInstances,
                                   mConnected->load() == 0, mLastError);
    return mPipeHandle != INVALID_HANDLE_VALUE;
}

bool WinPipe::exists() const {
    return mPipeHandle != INVALID_HANDLE_VALUE;
}

void WinPipe::cancelWait() {
    SetEvent(mCancelEvent);
}

std::unique_ptr<PipeConnection> WinPipe::waitForClient() {
    if (mPipeHandle == INVALID_HANDLE_VALUE || !mConnectEvent || !mCancelEvent) {
        mLastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (WaitForSingleObject(mCancelEvent, 0) == WAIT_OBJECT_0) {
        mLastError = ERROR_OPERATION_ABORTED;
        return nullptr;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = mConnectEvent;
    ResetEvent(mConnectEvent);
    BOOL connected = ConnectNamedPipe(mPipeHandle, &overlapped);
    DWORD error = connected ? 0 : GetLastError();
    if (!connected && error == ERROR_IO_PENDING) {
        HANDLE waits[2] = {mConnectEvent, mCancelEvent};
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        DWORD ignored = 0;
        if (woke != WAIT_OBJECT_0) {
            CancelIoEx(mPipeHandle, &overlapped);
            GetOverlappedResult(mPipeHandle, &overlapped, &ignored, TRUE);
            mLastError = ERROR_OPERATION_ABORTED;
            return nullptr;
        }
        error = GetOverlappedResult(mPipeHandle, &overlapped, &ignored, FALSE) ? 0 : GetLastError();
    }
    if (error != 0 && error != ERROR_PIPE_CONNECTED) {
        mLastError = static_cast<int>(error);
        DisconnectNamedPipe(mPipeHandle);
        return nullptr;
    }
    mLastError = 0;
    auto connection = std::make_unique<WinPipeConnection>(mPipeHandle, mConnected);
    // The next client waits on a new instance.
    mPipeHandle = INVALID_HANDLE_VALUE;
    create();
    return connection;
}

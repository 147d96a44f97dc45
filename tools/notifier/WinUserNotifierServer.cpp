#include <windows.h>

#include <atomic>

#include "zorvane_bytes.h"
#include "UserNotifierServer.h"

namespace {

bool writeAll(HANDLE pipe, const char* data, DWORD length) {
    while (length > 0) {
        DWORD done = 0;
        if (!WriteFile(pipe, data, length, &done, nullptr) || done == 0) {
            return false;
        }
        data += done;
        length -= done;
    }
    return true;
}

bool readAll(HANDLE pipe, char* data, DWORD length) {
    while (length > 0) {
        DWORD done = 0;
        if (!ReadFile(pipe, data, length, &done, nullptr) || done == 0) {
            return false;
        }
        data += done;
        length -= done;
    }
    return true;
}

// "\\.\pipe\<SID>", one connection per message, served one after another.
class WinUserNotifierServer : public UserNotifierServer {
public:
    explicit WinUserNotifierServer(const String& sid) : mName("\\\\.\\pipe\\" + sid) {}

    ~WinUserNotifierServer() override {
        stop();
        if (mPipe != INVALID_HANDLE_VALUE) {
            CloseHandle(mPipe);
        }
    }

    // A pipe needs no place made for it.
    bool waitForPlace(const std::function<void(const String&)>& /*waiting*/) override {
        return !mStopped;
    }

    bool listen(int& error) override {
        // A second notifier of the same user fails here: by this check where
        // the first-instance flag is not enforced (Wine), else by the flag.
        // Waiting, unlike opening, takes no connection from the first one.
        if (WaitNamedPipeA(mName.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
            error = ERROR_ALREADY_EXISTS;
            return false;
        }
        mPipe = newInstance(FILE_FLAG_FIRST_PIPE_INSTANCE);
        if (mPipe == INVALID_HANDLE_VALUE) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        return true;
    }

    bool serveOne(std::vector<char>& message, uint32_t answer) override {
        message.clear();
        if (mStopped) {
            return false;
        }
        BOOL connected = ConnectNamedPipe(mPipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        if (!connected || mStopped) {
            DisconnectNamedPipe(mPipe);
            return false;
        }
        if (mPipe == INVALID_HANDLE_VALUE) {
            return false;
        }
        // The next instance listens before this one is served, so a message
        // right after this one never finds the pipe busy.
        HANDLE current = mPipe;
        mPipe = newInstance();
        char count[4];
        bool ok = readAll(current, count, sizeof count);
        uint32_t length = ok ? LoadLe32(count) : 0;
        ok = ok && length <= kMaxMessage;
        if (ok) {
            message.resize(length);
            ok = readAll(current, message.data(), length);
        }
        if (ok) {
            char reply[4];
            StoreLe32(reply, answer);
            ok = writeAll(current, reply, sizeof reply);
            FlushFileBuffers(current);
        }
        DisconnectNamedPipe(current);
        CloseHandle(current);
        if (!ok) {
            message.clear();
        }
        return ok;
    }

    String name() const override { return mName; }

    void stop() override {
        if (mStopped.exchange(true) || mPipe == INVALID_HANDLE_VALUE) {
            return;
        }
        // A client of our own wakes a waiting ConnectNamedPipe.
        HANDLE wake = CreateFileA(mName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (wake != INVALID_HANDLE_VALUE) {
            CloseHandle(wake);
        }
    }

private:
    HANDLE newInstance(DWORD flags = 0) const {
        return CreateNamedPipeA(mName.c_str(), PIPE_ACCESS_DUPLEX | flags,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                PIPE_UNLIMITED_INSTANCES, 512, 512, 5000, nullptr);
    }

    String mName;
    HANDLE mPipe = INVALID_HANDLE_VALUE;
    std::atomic<bool> mStopped{false};
};

}  // namespace

std::unique_ptr<UserNotifierServer> UserNotifierServer::create(const String& sid) {
    return std::make_unique<WinUserNotifierServer>(sid);
}

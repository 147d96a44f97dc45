#include <windows.h>

#include "port/UserNotifierChannel.h"
#include "WinOverlappedIo.h"

namespace {

// Per-user notifier pipes "\\.\pipe\<SID>". Overlapped I/O gives every
// write and read a time-out: a notifier that never answers cannot hold the
// service's delivery lock.
class WinUserNotifierChannel : public UserNotifierChannel {
public:
    WinUserNotifierChannel() : mEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~WinUserNotifierChannel() override {
        close();
        if (mEvent) {
            CloseHandle(mEvent);
        }
    }

    String name(const String& sid) const override { return String("\\\\.\\pipe\\" + sid); }

    bool connect(const String& sid, int& error) override {
        close();
        if (sid.contains("\\") || sid.contains("/")) {
            error = ERROR_INVALID_NAME;
            return false;
        }
        mPipe = CreateFileA(name(sid).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (mPipe == INVALID_HANDLE_VALUE) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        return true;
    }

    bool write(const char* data, uint32_t length, int& error) override {
        while (length > 0) {
            DWORD done = 0;
            if (!transfer(true, const_cast<char*>(data), length, done, error)) {
                return false;
            }
            data += done;
            length -= done;
        }
        return true;
    }

    bool read(char* data, uint32_t length, int& error) override {
        while (length > 0) {
            DWORD done = 0;
            if (!transfer(false, data, length, done, error)) {
                return false;
            }
            data += done;
            length -= done;
        }
        return true;
    }

    void close() override {
        if (mPipe != INVALID_HANDLE_VALUE) {
            CloseHandle(mPipe);
            mPipe = INVALID_HANDLE_VALUE;
        }
    }

private:
    bool transfer(bool writing, char* data, DWORD length, DWORD& done, int& error) {
        if (mPipe == INVALID_HANDLE_VALUE || !mEvent) {
            error = ERROR_INVALID_HANDLE;
            return false;
        }
        return WinOverlappedIo::transfer(mPipe, mEvent, writing, data, length, kTimeoutMs, done,
                                         error);
    }

    HANDLE mPipe = INVALID_HANDLE_VALUE;
    HANDLE mEvent;
};

}  // namespace

std::unique_ptr<UserNotifierChannel> UserNotifierChannel::create() {
    return std::make_unique<WinUserNotifierChannel>();
}

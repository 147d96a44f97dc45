#include "WinUserNotifierChannel.h"

#include <sddl.h>

#include "WinOverlappedIo.h"
#include "WinProcessUser.h"
#include "base/Logger.h"

namespace {

// Whether two SID texts name the same SID (the text's case may differ).
bool sameSid(const String& first, const String& second) {
    PSID a = nullptr;
    PSID b = nullptr;
    bool same = ConvertStringSidToSidA(first.c_str(), &a) &&
                ConvertStringSidToSidA(second.c_str(), &b) && EqualSid(a, b);
    if (a) {
        LocalFree(a);
    }
    if (b) {
        LocalFree(b);
    }
    return same;
}

}  // namespace

WinUserNotifierChannel::WinUserNotifierChannel(ServerSidFor serverSidFor)
    : mServerSidFor(std::move(serverSidFor)), mEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

WinUserNotifierChannel::~WinUserNotifierChannel() {
    close();
    if (mEvent) {
        CloseHandle(mEvent);
    }
}

String WinUserNotifierChannel::serverSid(HANDLE pipe, int& error) {
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid)) {
        error = static_cast<int>(GetLastError());
        return String();
    }
    return WinProcessUser::sidTextOf(pid, error);
}

bool WinUserNotifierChannel::connect(const String& sid, int& error) {
    close();
    if (sid.contains("\\") || sid.contains("/")) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    // Identification level: the server may learn who connected, never act as it.
    mPipe = CreateFileA(name(sid).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                        nullptr);
    if (mPipe == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    const String expected = mServerSidFor ? mServerSidFor(sid) : sid;
    const String server = serverSid(mPipe, error);
    if (server.empty() || !sameSid(server, expected)) {
        Logger::instance()->out(LOGLEVEL_ERROR, "WinNotifier %s is served by %s, not the user\n",
                                name(sid).c_str(), server.empty() ? "unknown" : server.c_str());
        close();
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    return true;
}

bool WinUserNotifierChannel::write(const char* data, uint32_t length, int& error) {
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

bool WinUserNotifierChannel::read(char* data, uint32_t length, int& error) {
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

void WinUserNotifierChannel::close() {
    if (mPipe != INVALID_HANDLE_VALUE) {
        CloseHandle(mPipe);
        mPipe = INVALID_HANDLE_VALUE;
    }
}

bool WinUserNotifierChannel::transfer(bool writing, char* data, DWORD length, DWORD& done,
                                      int& error) {
    if (mPipe == INVALID_HANDLE_VALUE || !mEvent) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    return WinOverlappedIo::transfer(mPipe, mEvent, writing, data, length, kTimeoutMs, done,
                                     error);
}

std::unique_ptr<UserNotifierChannel> UserNotifierChannel::create() {
    return std::make_unique<WinUserNotifierChannel>();
}

#include "WinPipe.h"

#include <windows.h>

#include "base/Logger.h"

namespace {

constexpr DWORD kRecreateDelayMs = 1000;

}  // namespace

WinPipe::WinPipe(String name, uint32_t timeout)
    : mPipeHandle(INVALID_HANDLE_VALUE), mPipeLocation(std::move(name)), mPipeTimeout(timeout) {
    createPipe();
}

WinPipe::~WinPipe() {
    if (mPipeHandle != INVALID_HANDLE_VALUE) {
        DisconnectNamedPipe(mPipeHandle);
        CloseHandle(mPipeHandle);
    }
}

std::unique_ptr<WinPipeSecurity> WinPipe::getSecurityDescriptor() {
    return WinPipeSecurity::create();
}

void WinPipe::createPipe() {
    std::unique_ptr<WinPipeSecurity> security = getSecurityDescriptor();
    if (!security) {
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "cannot get security descriptor - failed to create pipe\n");
        return;
    }
    mPipeHandle = createServerPipe(mPipeLocation, mPipeTimeout, *security, mLastError);
    if (mPipeHandle == INVALID_HANDLE_VALUE) {
        Logger::instance()->out(LOGLEVEL_ERROR, "create named pipe failed - %d\n", mLastError);
    }
}

bool WinPipe::exists() const {
    return mPipeHandle != INVALID_HANDLE_VALUE;
}

int WinPipe::connect() {
    Logger* log = Logger::instance();
    int result = 0;
    DWORD error = 0;
    if (mPipeHandle == INVALID_HANDLE_VALUE) {
        log->out(LOGLEVEL_ERROR, "WinPipe::connect() invalid handle");
        Sleep(kRecreateDelayMs);
        createPipe();
        error = static_cast<DWORD>(mLastError);
    } else {
        BOOL connected = ConnectNamedPipe(mPipeHandle, nullptr);
        error = GetLastError();
        if (!connected && error != ERROR_PIPE_CONNECTED) {
            // Free the instance a departed client left behind and wait for the next.
            DisconnectNamedPipe(mPipeHandle);
            connected = ConnectNamedPipe(mPipeHandle, nullptr);
            error = GetLastError();
        }
        result = connected || error == ERROR_PIPE_CONNECTED ? 1 : 0;
    }
    log->out(LOGLEVEL_ERROR, "WinPipe::connect() failed %d %d\n", static_cast<int>(error), result);
    return result;
}

int WinPipe::read(char* buffer, uint32_t& length) {
    if (!connect()) {
        return 0;
    }
    DWORD got = 0;
    if (!ReadFile(mPipeHandle, buffer, length, &got, nullptr)) {
        mLastError = static_cast<int>(GetLastError());
        return 0;
    }
    length = got;
    return 1;
}

int WinPipe::write(const char* buffer, uint32_t& length) {
    if (!connect()) {
        length = 0;
        return 0;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(mPipeHandle, buffer, length, &written, nullptr);
    if (!ok) {
        mLastError = static_cast<int>(GetLastError());
    }
    length = written;
    return ok ? 1 : 0;
}

bool WinPipe::receiveFromClient(char* buffer, uint32_t length) {
    if (mPipeHandle == INVALID_HANDLE_VALUE) {
        mLastError = ERROR_INVALID_HANDLE;
        return false;
    }
    while (length > 0) {
        DWORD got = 0;
        if (!ReadFile(mPipeHandle, buffer, length, &got, nullptr) || got == 0) {
            mLastError = static_cast<int>(GetLastError());
            return false;
        }
        buffer += got;
        length -= got;
    }
    return true;
}

bool WinPipe::sendToClient(const char* buffer, uint32_t length) {
    if (mPipeHandle == INVALID_HANDLE_VALUE) {
        mLastError = ERROR_INVALID_HANDLE;
        return false;
    }
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(mPipeHandle, buffer, length, &written, nullptr) || written == 0) {
            mLastError = static_cast<int>(GetLastError());
            return false;
        }
        buffer += written;
        length -= written;
    }
    return true;
}

bool WinPipe::readAll(char* buffer, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        uint32_t piece = length - done;
        if (!read(buffer + done, piece) || piece == 0) {
            return false;
        }
        done += piece;
    }
    return true;
}

void WinPipe::disconnect() {
    if (mPipeHandle != INVALID_HANDLE_VALUE) {
        DisconnectNamedPipe(mPipeHandle);
    }
}

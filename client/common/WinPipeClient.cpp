#include "WinPipeClient.h"

#include <windows.h>

#include "WinPipeSecurity.h"

std::unique_ptr<PipeClient> makeUiPipeClient() {
    return std::make_unique<WinPipeClient>();
}

WinPipeClient::WinPipeClient(String name) : mName(std::move(name)), mHandle(INVALID_HANDLE_VALUE) {}

WinPipeClient::~WinPipeClient() {
    if (mHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(mHandle);
    }
}

bool WinPipeClient::isOpen() const {
    return mHandle != INVALID_HANDLE_VALUE;
}

bool WinPipeClient::open() {
    if (mHandle != INVALID_HANDLE_VALUE) {
        return true;
    }
    mHandle = CreateFileA(mName.c_str(), kPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    if (mHandle == INVALID_HANDLE_VALUE) {
        mLastError = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

bool WinPipeClient::write(const char* data, uint32_t length) {
    DWORD written = 0;
    if (!WriteFile(mHandle, data, length, &written, nullptr) || written != length) {
        mLastError = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

uint32_t WinPipeClient::read(char* buffer, uint32_t length) {
    DWORD got = 0;
    if (!ReadFile(mHandle, buffer, length, &got, nullptr)) {
        mLastError = static_cast<int>(GetLastError());
        return 0;
    }
    return got;
}

#include "WinUI.h"

#include <windows.h>

#include "base/Logger.h"

namespace {

constexpr DWORD kUiPipeTimeoutMs = 5000;
constexpr DWORD kRecreateDelayMs = 1000;

}  // namespace

WinUI* WinUI::instance() {
    static WinUI* ui = [] {
        auto* created = new WinUI();
        registerInstance(created);
        return created;
    }();
    return ui;
}

WinUI::WinUI(String pipeName)
    : mPipeName(std::move(pipeName)), mUIReadHandle(INVALID_HANDLE_VALUE) {
    createPipe();
}

WinUI::~WinUI() {
    if (mUIReadHandle != INVALID_HANDLE_VALUE) {
        DisconnectNamedPipe(mUIReadHandle);
        CloseHandle(mUIReadHandle);
    }
}

std::unique_ptr<WinPipeSecurity> WinUI::getSecurityDescriptor() {
    return WinPipeSecurity::create();
}

void WinUI::createPipe() {
    std::unique_ptr<WinPipeSecurity> security = getSecurityDescriptor();
    if (!security) {
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "cannot get security descriptor - failed to create pipe\n");
        return;
    }
    mUIReadHandle = createServerPipe(mPipeName, kUiPipeTimeoutMs, *security, mLastError);
    if (mUIReadHandle == INVALID_HANDLE_VALUE) {
        Logger::instance()->out(LOGLEVEL_ERROR, "WinUI::createPipe failed - %d\n", mLastError);
    }
}

bool WinUI::pipeExists() const {
    return mUIReadHandle != INVALID_HANDLE_VALUE;
}

int WinUI::connectToUI() {
    Logger* log = Logger::instance();
    int result = 0;
    DWORD error = 0;
    if (mUIReadHandle == INVALID_HANDLE_VALUE) {
        log->out(LOGLEVEL_ERROR, "WinUI::connectToUI() invalid handle");
        Sleep(kRecreateDelayMs);
        createPipe();
        error = static_cast<DWORD>(mLastError);
    } else {
        BOOL connected = ConnectNamedPipe(mUIReadHandle, nullptr);
        error = GetLastError();
        if (connected || error == ERROR_PIPE_CONNECTED) {
            result = 1;
        } else {
            // Frees the instance a departed client left behind; the caller retries.
            DisconnectNamedPipe(mUIReadHandle);
        }
    }
    log->out(LOGLEVEL_ERROR, "WinUI::connectToUI() failed %d %d\n", static_cast<int>(error),
             result);
    return result;
}

size_t WinUI::readSome(char* buffer, size_t length) {
    DWORD got = 0;
    if (!ReadFile(mUIReadHandle, buffer, static_cast<DWORD>(length), &got, nullptr)) {
        mLastError = static_cast<int>(GetLastError());
        return 0;
    }
    return got;
}

bool WinUI::writeBytes(const char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        DWORD written = 0;
        if (!WriteFile(mUIReadHandle, data + done, static_cast<DWORD>(length - done), &written,
                       nullptr) ||
            written == 0) {
            mLastError = static_cast<int>(GetLastError());
            return false;
        }
        done += written;
    }
    return true;
}

void WinUI::dropClient() {
    if (mUIReadHandle != INVALID_HANDLE_VALUE) {
        DisconnectNamedPipe(mUIReadHandle);
    }
}

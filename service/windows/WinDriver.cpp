#include "WinDriver.h"

#include <shlobj.h>

#include <mutex>

#include "base/Logger.h"
#include "base/String.h"
#include "zorvane_ioctl.h"

namespace {


class WinControlHandle : public ControlDeviceHandle {
public:
    explicit WinControlHandle(HANDLE handle) : mHandle(handle) {}
    ~WinControlHandle() override { CloseHandle(mHandle); }

    bool control(uint32_t code, char* buffer, uint32_t inputLength, uint32_t outputLength,
                 uint32_t& returned, int& error) override {
        DWORD count = 0;
        BOOL ok = DeviceIoControl(mHandle, code, buffer, inputLength, buffer, outputLength, &count,
                                  nullptr);
        returned = count;
        error = ok ? 0 : static_cast<int>(GetLastError());
        return ok != FALSE;
    }

    bool read(char* buffer, uint32_t length, uint32_t& returned, int& error) override {
        DWORD count = 0;
        BOOL ok = ReadFile(mHandle, buffer, length, &count, nullptr);
        returned = count;
        error = ok ? 0 : static_cast<int>(GetLastError());
        return ok != FALSE;
    }

    void cancel() override { CancelIoEx(mHandle, nullptr); }

private:
    HANDLE mHandle;
};

}  // namespace

WinDriver* WinDriver::instance() {
    return PlatformInstance<WinDriver>::get([] { return new WinDriver(); });
}

void WinDriver::cleanUp() {
    PlatformInstance<WinDriver>::reset();
}

WinDriver::WinDriver() : ControlDeviceDriver("WinDriver") {
    initialize();
}

WinDriver::~WinDriver() {
    UnLoad();
}

String WinDriver::driverLocation() const {
    char systemDir[MAX_PATH] = {};
    String location;
    if (SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, 0, systemDir) != S_OK) {
        Logger::instance()->out(LOGLEVEL_WARN, "using default driver location\n");
        location = "c:\\windows\\system32";
    } else {
        location = systemDir;
    }
    // Only logged: the installer registers the driver's service.
    return String(location + "\\drivers\\zorvane.sys");
}

std::unique_ptr<ControlDeviceHandle> WinDriver::openDevice(int& errCode) {
    HANDLE handle = CreateFileA(ZORVANE_DEVICE_PATH, GENERIC_READ, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errCode = static_cast<int>(GetLastError());
        return nullptr;
    }
    return std::make_unique<WinControlHandle>(handle);
}

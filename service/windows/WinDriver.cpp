#include "WinDriver.h"

#include <shlobj.h>

#include <mutex>

#include "base/Logger.h"
#include "base/String.h"
#include "zorvane_ioctl.h"

namespace {

WinDriver* gInstance = nullptr;
std::mutex gInstanceLock;

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
    std::lock_guard<std::mutex> lock(gInstanceLock);
    if (!gInstance) {
        gInstance = new WinDriver();
        registerInstance(gInstance);
    }
    return gInstance;
}

void WinDriver::cleanUp() {
    std::lock_guard<std::mutex> lock(gInstanceLock);
    delete gInstance;
    gInstance = nullptr;
}

WinDriver::WinDriver() : ControlDeviceDriver("WinDriver") {
    initialize();
}

WinDriver::~WinDriver() {
    UnLoad();
    if (Driver::instance() == this) {
        registerInstance(nullptr);
    }
}

int WinDriver::loadAndStart(int& errCode) {
    Logger* log = Logger::instance();
    char systemDir[MAX_PATH] = {};
    String location;
    if (SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, 0, systemDir) != S_OK) {
        log->out(LOGLEVEL_WARN, "using default driver location\n");
        location = "c:\\windows\\system32";
    } else {
        location = systemDir;
    }
    // Only logged: the installer registers the driver's service.
    location += "\\drivers\\zorvane.sys";
    log->out(LOGLEVEL_INFO, "driver location %s\n", location.c_str());

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        errCode = static_cast<int>(GetLastError());
        log->out(LOGLEVEL_ERROR, "Open SC Manager failed! Error = %d \n", errCode);
        return 0;
    }
    int ret = startDriver(manager, kServiceName, errCode);
    CloseServiceHandle(manager);
    return ret;
}

int WinDriver::startDriver(SC_HANDLE manager, const char* name, int& errCode) {
    Logger* log = Logger::instance();
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (!service) {
        errCode = static_cast<int>(GetLastError());
        log->out(LOGLEVEL_ERROR, "OpenService failed!  Error = %d \n", errCode);
        return 0;
    }
    int ret = 1;
    if (!StartServiceA(service, 0, nullptr)) {
        errCode = static_cast<int>(GetLastError());
        if (errCode != ERROR_SERVICE_ALREADY_RUNNING) {
            log->out(LOGLEVEL_ERROR, "StartService failure! Error = %d\n", errCode);
            ret = 0;
        }
    }
    CloseServiceHandle(service);
    log->out(LOGLEVEL_INFO, "WinDriver::startDriver ret %d\n", ret);
    return ret;
}

void WinDriver::stopAndUnload() {
    Logger* log = Logger::instance();
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        log->out(LOGLEVEL_WARN, "Open SC Manager failed! Error = %d \n",
                 static_cast<int>(GetLastError()));
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (!service) {
        log->out(LOGLEVEL_ERROR, "OpenService failed!  Error = %d \n",
                 static_cast<int>(GetLastError()));
        CloseServiceHandle(manager);
        return;
    }
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        log->out(LOGLEVEL_ERROR, "stop service failed!  Error = %d \n",
                 static_cast<int>(GetLastError()));
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
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

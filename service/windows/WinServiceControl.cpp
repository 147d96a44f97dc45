#include <windows.h>

#include "port/ServiceControl.h"

namespace {

class WinServiceControl : public ServiceControl {
public:
    explicit WinServiceControl(SC_HANDLE manager) : mManager(manager) {}
    ~WinServiceControl() override {
        if (mService) {
            CloseServiceHandle(mService);
        }
        CloseServiceHandle(mManager);
    }

    bool openService(const String& name, int& error) override {
        if (mService) {
            CloseServiceHandle(mService);
        }
        mService = OpenServiceA(mManager, name.c_str(), SERVICE_ALL_ACCESS);
        error = mService ? 0 : static_cast<int>(GetLastError());
        return mService != nullptr;
    }

    bool queryStatus(ServiceStatusInfo& status, int& error) override {
        SERVICE_STATUS current{};
        if (!mService || !QueryServiceStatus(mService, &current)) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        status.state = static_cast<int>(current.dwCurrentState);
        status.win32ExitCode = static_cast<int>(current.dwWin32ExitCode);
        status.serviceSpecificExitCode = static_cast<int>(current.dwServiceSpecificExitCode);
        return true;
    }

    bool startService(int& error) override {
        if (!mService || !StartServiceA(mService, 0, nullptr)) {
            error = static_cast<int>(GetLastError());
            // Running is what the caller asked for.
            return error == ERROR_SERVICE_ALREADY_RUNNING;
        }
        return true;
    }

    bool stopService(int& error) override {
        SERVICE_STATUS current{};
        if (!mService || !ControlService(mService, SERVICE_CONTROL_STOP, &current)) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        return true;
    }

private:
    SC_HANDLE mManager;
    SC_HANDLE mService = nullptr;
};

}  // namespace

std::unique_ptr<ServiceControl> ServiceControl::connect(int& error) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        error = static_cast<int>(GetLastError());
        return nullptr;
    }
    return std::make_unique<WinServiceControl>(manager);
}

String commandLineFor(const String& path, const String& argument) {
    // cmd /c strips the outermost pair of quotes, leaving the path quoted.
    return String("\"\"" + path + "\"\" " + argument);
}

#pragma once

#include <windows.h>

#include "driver/ControlDeviceDriver.h"

// The filter's control device on Windows: the kernel driver's service
// "zorvane" started through the service control manager, and two handles
// of "\\.\ZorvaneFilter" (control codes, reads).
class WinDriver : public ControlDeviceDriver {
public:
    static constexpr const char* kServiceName = "zorvane";

    // The one driver, made on first use and registered as Driver's instance.
    static WinDriver* instance();
    static void cleanUp();

    ~WinDriver() override;

protected:
    WinDriver();

    int loadAndStart(int& errCode) override;
    void stopAndUnload() override;
    std::unique_ptr<ControlDeviceHandle> openDevice(int& errCode) override;

private:
    int startDriver(SC_HANDLE manager, const char* name, int& errCode);
};

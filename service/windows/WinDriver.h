#pragma once

#include <windows.h>

#include "driver/ControlDeviceDriver.h"

// The filter's control device on Windows: the kernel driver's service
// "zorvane" started through the service control manager, and two handles
// of "\\.\ZorvaneFilter" (control codes, reads).
class WinDriver : public ControlDeviceDriver {
public:

    // The one driver, made on first use and registered as Driver's instance.
    static WinDriver* instance();
    static void cleanUp();

    ~WinDriver() override;

protected:
    WinDriver();

    String driverLocation() const override;
    bool mayRunUnmanaged() const override { return false; }
    std::unique_ptr<ControlDeviceHandle> openDevice(int& errCode) override;

};

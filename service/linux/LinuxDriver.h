#pragma once

#include "driver/ControlDeviceDriver.h"
#include "base/String.h"

// The filter's control device on Linux: the filter host's control socket
// (<run dir>/ZorvaneFilter), one connection per handle. The host runs as
// service "zorvane" where systemd manages the system; elsewhere it is
// expected to be running already.
class LinuxDriver : public ControlDeviceDriver {
public:

    // The one driver, made on first use and registered as Driver's instance.
    static LinuxDriver* instance();
    static void cleanUp();

    // A driver on the control socket at `socketPath` (tests); instance()
    // uses the run folder's.
    explicit LinuxDriver(String socketPath);
    ~LinuxDriver() override;

protected:
    String driverLocation() const override { return mSocketPath; }
    bool mayRunUnmanaged() const override { return true; }
    std::unique_ptr<ControlDeviceHandle> openDevice(int& errCode) override;

private:
    String mSocketPath;
};

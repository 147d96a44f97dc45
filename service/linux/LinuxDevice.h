#pragma once

#include <vector>

#include "system/Device.h"
#include "system/DeviceAdapters.h"
#include "base/String.h"

// The device as Linux describes it: adapters from getifaddrs, their kind from
// sysfs, and the host name.
class LinuxDevice : public Device {
public:
    // Creates the device on the first call and registers it as the Device.
    static LinuxDevice* instance();

    // The kind of interface `name` as described under `sysfsRoot`
    // (normally /sys/class/net).
    static AdapterKind interfaceKind(const String& sysfsRoot, const String& name);

private:
    LinuxDevice();

    bool listAdapters(std::vector<AdapterRecord>& adapters) const override;
};

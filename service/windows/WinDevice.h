#pragma once

#include <map>

#include "system/Device.h"
#include "base/String.h"

// The device as Windows describes it: adapters from GetAdaptersAddresses and
// the computer name.
class WinDevice : public Device {
public:
    // Creates the device on the first call and registers it as the Device.
    static WinDevice* instance();

private:
    WinDevice();

    // "eth0", "eth1", ..., "wlan0", ... to 12-digit MAC text.
    std::map<String, String> mDevList;
};

#pragma once

#include <vector>

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

    // False when no buffer could be allocated.
    bool listAdapters(std::vector<AdapterRecord>& adapters) const override;
};

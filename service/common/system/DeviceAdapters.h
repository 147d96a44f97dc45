#pragma once

#include <map>
#include <vector>

#include "base/String.h"

enum class AdapterKind { Ethernet, Wireless, Other };

// One network adapter as the system lists it, reduced to what the device
// signature needs.
struct AdapterRecord {
    AdapterKind kind = AdapterKind::Other;
    // Exactly the bytes the system reported (its length is the hardware
    // address length).
    std::vector<unsigned char> hardwareAddress;
    String name;  // for the log only
};

// Names the wired adapters "eth0", "eth1", ... and the wireless ones "wlan0",
// ... in the order given, and maps each name to its 12-digit MAC text.
std::map<String, String> buildAdapterMap(const std::vector<AdapterRecord>& adapters);

// The device signature: the MAC of "eth0", else of "wlan0", else empty.
String chooseDeviceSignature(const std::map<String, String>& devList);

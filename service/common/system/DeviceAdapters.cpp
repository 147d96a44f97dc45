#include "system/DeviceAdapters.h"

#include <cstdio>

#include "base/Logger.h"

namespace {

constexpr size_t kMacLength = 6;

String macText(const std::vector<unsigned char>& address) {
    char text[2 * kMacLength + 1];
    snprintf(text, sizeof(text), "%.2x%.2x%.2x%.2x%.2x%.2x", address[0], address[1], address[2],
             address[3], address[4], address[5]);
    return String(text);
}

}  // namespace

std::map<String, String> buildAdapterMap(const std::vector<AdapterRecord>& adapters) {
    Logger* log = Logger::instance();
    std::map<String, String> devList;
    int ethCount = 0;
    int wlanCount = 0;
    for (const AdapterRecord& adapter : adapters) {
        log->out(LOGLEVEL_INFO, "pCurrAddresses->PhysicalAddressLength %d\n",
                 static_cast<int>(adapter.hardwareAddress.size()));
        if (adapter.kind == AdapterKind::Other) {
            continue;
        }
        log->out(LOGLEVEL_INFO, "adapter name %s\n", adapter.name.c_str());
        log->out(LOGLEVEL_INFO, "one we need\n");
        // Zero-length addresses (tunnels) have nothing to sign with. Shorter
        // than a MAC (never seen on real adapters) is skipped too rather than
        // read past the reported length; neither takes a number.
        if (adapter.hardwareAddress.size() < kMacLength) {
            continue;
        }
        String mac = macText(adapter.hardwareAddress);
        if (adapter.kind == AdapterKind::Ethernet) {
            String name = "eth" + String(ethCount++);
            devList[name] = mac;
            log->out(LOGLEVEL_INFO, "lan %s %s\n", name.c_str(), mac.c_str());
        } else {
            String name = "wlan" + String(wlanCount++);
            devList[name] = mac;
            log->out(LOGLEVEL_INFO, "wifi %s %s\n", name.c_str(), mac.c_str());
        }
    }
    return devList;
}

String chooseDeviceSignature(const std::map<String, String>& devList) {
    String signature;
    for (const char* name : {"eth0", "wlan0"}) {
        auto found = devList.find(name);
        if (found != devList.end() && !found->second.empty()) {
            signature = found->second;
            break;
        }
    }
    Logger::instance()->out(LOGLEVEL_ERROR, "WinDevice::WinDevice devSign %s\n", signature.c_str());
    return signature;
}

#include "WinDevice.h"

// winsock2.h must come before windows.h, and both before iphlpapi.h.
#include <winsock2.h>
// clang-format off
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <algorithm>
#include <vector>

#include "system/DeviceAdapters.h"
#include "base/Logger.h"
#include "system/SystemInfo.h"

namespace {

constexpr ULONG kInitialBufferSize = 15360;
constexpr int kMaxAttempts = 3;
constexpr DWORD kIfTypeEthernet = 6;
constexpr DWORD kIfTypeWireless = 71;

AdapterRecord toRecord(const IP_ADAPTER_ADDRESSES& adapter) {
    AdapterRecord record;
    if (adapter.IfType == kIfTypeEthernet) {
        record.kind = AdapterKind::Ethernet;
    } else if (adapter.IfType == kIfTypeWireless) {
        record.kind = AdapterKind::Wireless;
    }
    ULONG length = std::min<ULONG>(adapter.PhysicalAddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
    record.hardwareAddress.assign(adapter.PhysicalAddress, adapter.PhysicalAddress + length);
    record.name = adapter.AdapterName ? adapter.AdapterName : "";
    return record;
}

}  // namespace

// The adapters in system order. A failed listing (adapters not up yet at
// boot) gives none; a later read of the signature tries again.
bool WinDevice::listAdapters(std::vector<AdapterRecord>& adapters) const {
    Logger* log = Logger::instance();
    ULONG outBufLen = kInitialBufferSize;
    ULONG result = NO_ERROR;
    int attempts = 0;
    do {
        log->out(LOGLEVEL_INFO, "GetAdaptersAddresses outBufLen %d\n", static_cast<int>(outBufLen));
        auto* addresses =
            static_cast<IP_ADAPTER_ADDRESSES*>(HeapAlloc(GetProcessHeap(), 0, outBufLen));
        if (!addresses) {
            log->out(LOGLEVEL_WARN, "Memory allocation failed for IP_ADAPTER_ADDRESSES struct\n");
            return false;
        }
        result = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, addresses, &outBufLen);
        if (result == NO_ERROR) {
            for (IP_ADAPTER_ADDRESSES* adapter = addresses; adapter; adapter = adapter->Next) {
                adapters.push_back(toRecord(*adapter));
            }
        } else {
            log->out(LOGLEVEL_ERROR, "GetAdaptersAddresses failed %d %d\n",
                     static_cast<int>(result), static_cast<int>(GetLastError()));
        }
        HeapFree(GetProcessHeap(), 0, addresses);
        ++attempts;
    } while (result == ERROR_BUFFER_OVERFLOW && attempts < kMaxAttempts);
    return true;
}

WinDevice* WinDevice::instance() {
    return PlatformInstance<WinDevice>::get([] { return new WinDevice(); });
}

WinDevice::WinDevice() {
    if (!readAdapters()) {
        return;
    }
    setSystemName(SystemInfo::computerName());
}

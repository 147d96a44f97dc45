#include "LinuxDevice.h"

#include <ifaddrs.h>
#include <linux/if_arp.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "base/Logger.h"
#include "system/SystemInfo.h"

namespace {

const char kSysfsNet[] = "/sys/class/net";

bool pathExists(const String& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

}  // namespace

// The adapters with a link-layer entry, in the order getifaddrs lists them.
bool LinuxDevice::listAdapters(std::vector<AdapterRecord>& adapters) const {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    for (struct ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET) {
            continue;
        }
        const auto* link = reinterpret_cast<const struct sockaddr_ll*>(entry->ifa_addr);
        size_t length = std::min<size_t>(link->sll_halen, sizeof(link->sll_addr));
        AdapterRecord record;
        record.name = entry->ifa_name;
        record.kind = LinuxDevice::interfaceKind(kSysfsNet, record.name);
        record.hardwareAddress.assign(link->sll_addr, link->sll_addr + length);
        adapters.push_back(record);
    }
    freeifaddrs(list);
    // Virtual interfaces (ifb, veth, bridges, tunnels) get a new random MAC
    // on every boot; adapters with real hardware behind them come first so
    // the signature stays the same across restarts.
    std::stable_partition(adapters.begin(), adapters.end(), [](const AdapterRecord& adapter) {
        return pathExists(String(kSysfsNet) + "/" + adapter.name + "/device");
    });
    return true;
}

LinuxDevice* LinuxDevice::instance() {
    return PlatformInstance<LinuxDevice>::get([] { return new LinuxDevice(); });
}

AdapterKind LinuxDevice::interfaceKind(const String& sysfsRoot, const String& name) {
    String folder = sysfsRoot + "/" + name;
    int type = -1;
    std::ifstream typeFile(folder + "/type");
    if (!(typeFile >> type) || type != ARPHRD_ETHER) {
        return AdapterKind::Other;
    }
    // Wi-Fi interfaces also report the Ethernet link type.
    if (pathExists(folder + "/wireless") || pathExists(folder + "/phy80211")) {
        return AdapterKind::Wireless;
    }
    return AdapterKind::Ethernet;
}

LinuxDevice::LinuxDevice() {
    readAdapters();
    setSystemName(SystemInfo::computerName());
}

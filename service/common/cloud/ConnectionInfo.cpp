#include "cloud/ConnectionInfo.h"

#include "base/Logger.h"
#include "port/Network.h"

namespace {

const char kHttpsPrefix[] = "https://";

}  // namespace

bool ConnectionInfo::isHttpsUrl(const String& url) {
    const size_t prefix = sizeof(kHttpsPrefix) - 1;
    if (url.compare(0, prefix, kHttpsPrefix) != 0) {
        return false;
    }
    const size_t hostEnd = url.find_first_of("/?#", prefix);
    return (hostEnd == std::string::npos ? url.size() : hostEnd) > prefix;
}

void ConnectionInfo::setFilterServer(const String& url) {
    filterServer = url;
    String host = url.after(kHttpsPrefix);
    if (host.contains("/")) {
        host = host.before("/");
    }
    if (!host.empty()) {
        httpsServer = String(String(kHttpsPrefix) + host + "/zorvane2/filter.php");
    }
    Logger::instance()->out(LOGLEVEL_INFO, "ConnectionInfo::setFilterServer %s\n", url.c_str());
}

void ConnectionInfo::setPublicIp(const String& address) {
    if (!address.empty()) {
        mPublicIp = address;
    }
}

uint32_t ConnectionInfo::resolve(const String& url, std::atomic<uint32_t>& cache) {
    uint32_t cached = cache;
    if (cached != 0) {
        return cached;
    }
    String host = url;
    if (host.indexOf(kHttpsPrefix) == 0) {
        host = host.after(kHttpsPrefix);
    }
    if (host.contains("/")) {
        host = host.before("/");
    }
    if (host.contains(":")) {
        host = host.before(":");  // a port in the URL is not part of the name
    }
    uint32_t address = 0;
    int systemError = 0;
    int result = 0;
    switch (Network::resolveIPv4(host, address, systemError, result)) {
        case Network::RESOLVE_OK:
            cache = address;
            return address;
        case Network::RESOLVE_NO_IPV4:
            Logger::instance()->out(LOGLEVEL_ERROR, "getaddrinfo failed\n");
            return 0xFFFFFFFF;
        case Network::RESOLVE_FAILED:
        default:
            Logger::instance()->out(LOGLEVEL_ERROR, "getaddrinfo failed for %s err %d ret %d\n",
                                    host.c_str(), systemError, result);
            return 0;
    }
}

uint32_t ConnectionInfo::getFilterServerAddress() {
    Logger::instance()->out(LOGLEVEL_INFO, "ConnectionInfo::getFilterServerAddress %s\n",
                            filterServer.c_str());
    return resolve(filterServer, filterServerAddress);
}

uint32_t ConnectionInfo::getAlternateFilterServerAddress() {
    Logger::instance()->out(LOGLEVEL_INFO, "ConnectionInfo::getAlternateFilterServerAddress\n");
    if (alternateFilterServer.empty()) {
        return 0;
    }
    return resolve(alternateFilterServer, alternateFilterServerAddress);
}

uint16_t ConnectionInfo::getFilterServerPort() const {
    Logger::instance()->out(LOGLEVEL_INFO, "ConnectionInfo::getFilterServerPort\n");
    return filterServerPort;
}

uint16_t ConnectionInfo::getAlternateFilterServerPort() const {
    Logger::instance()->out(LOGLEVEL_INFO, "ConnectionInfo::getAlternateFilterServerPort\n");
    return alternateFilterServerPort;
}

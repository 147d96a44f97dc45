#pragma once

#include <atomic>
#include <cstdint>

#include "base/String.h"

// The cloud servers this PC uses, from the connection-info exchange. Once
// installed in the settings it is shared between threads and only its
// resolved addresses change (atomically).
class ConnectionInfo {
public:
    ConnectionInfo() = default;
    ConnectionInfo(const ConnectionInfo&) = delete;
    ConnectionInfo& operator=(const ConnectionInfo&) = delete;

    void setAuthServer(const String& url) { authServer = url; }
    String getAuthServer() const { return authServer; }
    // Also derives the HTTPS verification URL from the host of an https URL.
    void setFilterServer(const String& url);
    String getFilterServer() const { return filterServer; }
    void setAlternateFilterServer(const String& url) { alternateFilterServer = url; }
    String getAlternateFilterServer() const { return alternateFilterServer; }
    void setHttpsServer(const String& url) { httpsServer = url; }
    String getHttpsServer() const { return httpsServer; }
    // An empty address is ignored.
    void setPublicIp(const String& address);
    String getPublicIp() const { return mPublicIp; }

    // IPv4 in host order, resolved on first use and cached; 0 when the name
    // cannot be resolved (tried again next time), 0xFFFFFFFF when it has no
    // IPv4 address.
    uint32_t getFilterServerAddress();
    uint32_t getAlternateFilterServerAddress();
    void setFilterServerAddress(uint32_t address) { filterServerAddress = address; }
    void setAlternateFilterServerAddress(uint32_t address) {
        alternateFilterServerAddress = address;
    }

    uint16_t getFilterServerPort() const;
    void setFilterServerPort(uint16_t port) { filterServerPort = port; }
    uint16_t getAlternateFilterServerPort() const;
    void setAlternateFilterServerPort(uint16_t port) { alternateFilterServerPort = port; }

    // True for "https://" followed by a host: the only form a cloud server
    // address is used in, so that each exchange verifies who answers.
    static bool isHttpsUrl(const String& url);

    static constexpr uint16_t kDefaultFilterPort = 80;
    static constexpr uint16_t kDefaultAlternatePort = 60443;

private:
    static uint32_t resolve(const String& url, std::atomic<uint32_t>& cache);

    String authServer;
    String filterServer;
    String alternateFilterServer;
    String httpsServer;
    String mPublicIp;
    std::atomic<uint32_t> filterServerAddress{0};
    std::atomic<uint32_t> alternateFilterServerAddress{0};
    uint16_t filterServerPort = kDefaultFilterPort;
    uint16_t alternateFilterServerPort = kDefaultAlternatePort;
};

#pragma once

#include "CloudData.h"
#include "CloudRole.h"
#include "CloudServer.h"

// GET /cgi-bin/connection: which filter and authentication servers to use
// and the caller's address as the cloud sees it.
class ConnectionRole : public CloudRole {
public:
    ConnectionRole(const CloudData& data, const Endpoints& endpoints)
        : mData(data), mEndpoints(endpoints) {}

    void addRoutes(httplib::Server& server, Listener listener) override;

    // The reply body for a caller at `callerAddress` that reached the cloud
    // at `serverAddress` (a host name or an address).
    std::string reply(const std::string& serverAddress, const std::string& callerAddress) const;

private:
    const CloudData& mData;
    Endpoints mEndpoints;
};

// `text` with {host}, {http_port} and {https_port} filled in (443 when HTTPS
// is off).
std::string expandUrl(const std::string& text, const std::string& host, const Endpoints& endpoints);

// The host of a Host header ("name:port"; "[v6]:port" gives the address
// without brackets); empty when it holds anything but a name or address.
std::string hostNameOf(const std::string& hostHeader);

// An address of a connection as it goes into a URL or a reply: IPv4 as is
// (also when mapped into IPv6), other IPv6 in brackets when `forUrl`.
std::string displayAddress(const std::string& address, bool forUrl);

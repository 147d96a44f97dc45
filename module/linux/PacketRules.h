#pragma once

// The packet-filter rules of the Linux packet path, kept in chains of their
// own so that nothing else in the tables changes. For a mapped user: IPv4
// port-80 connections are redirected to the tagging proxy; TCP 443
// connections are marked and their packets, both ways, go to the HTTPS
// queue; UDP 443 (QUIC, which the filter cannot read) and IPv6 web traffic
// (the filter judges IPv4) are refused, so clients fall back to what is
// judged. The host's own packets carry a socket mark that the rules pass.

#include <cstdint>
#include <string>
#include <vector>

class PacketRules {
public:
    PacketRules(uint16_t proxyPort, uint32_t ownMark, uint16_t queueNumber);

    // Removes whatever an earlier host left behind (after a crash), then
    // hooks the empty chains into OUTPUT. False with the reason in *error.
    bool install(std::string* error);
    // Replaces the chains' rules: HTTPS judged for `judged`, plain HTTP
    // redirected for `redirected` (both sorted); one atomic update per family.
    bool apply(const std::vector<uint32_t>& judged, const std::vector<uint32_t>& redirected,
               std::string* error);
    // Unhooks and deletes the chains; safe to call when nothing is there.
    void remove();

private:
    std::string ipv4Script(const std::vector<uint32_t>& judged,
                           const std::vector<uint32_t>& redirected, bool hook) const;
    std::string ipv6Script(const std::vector<uint32_t>& judged, bool hook) const;

    uint16_t mProxyPort;
    uint32_t mOwnMark;
    uint16_t mQueueNumber;
    bool mIpv6 = false;  // the IPv6 table was usable at install
};

// The connection mark of a judged HTTPS connection.
constexpr uint32_t kZorvaneTlsConnMark = 0x5A0F;

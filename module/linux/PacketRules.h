#pragma once

// The packet-filter rules of the Linux packet path, kept in chains of their
// own so that nothing else in the tables changes: a mapped user's IPv4
// port-80 connections are redirected to the tagging proxy, and the same
// user's IPv6 port-80 connections are refused (the filter server is IPv4
// only, so IPv6 would be a way around it). The proxy's own connections carry
// a socket mark that the rules pass through untouched.

#include <cstdint>
#include <string>
#include <vector>

class PacketRules {
public:
    PacketRules(uint16_t proxyPort, uint32_t proxyMark);

    // Removes whatever an earlier host left behind (after a crash), then
    // hooks the empty chains into OUTPUT. False with the reason in *error.
    bool install(std::string* error);
    // Replaces the chains' rules with those of `uids` (already sorted); one
    // atomic table update per family.
    bool apply(const std::vector<uint32_t>& uids, std::string* error);
    // Unhooks and deletes the chains; safe to call when nothing is there.
    void remove();

private:
    std::string natScript(const std::vector<uint32_t>& uids, bool hook) const;
    std::string filter6Script(const std::vector<uint32_t>& uids, bool hook) const;

    uint16_t mProxyPort;
    uint32_t mProxyMark;
    bool mIpv6 = false;  // the IPv6 table was usable at install
};

// The rules' chain in the nat table (IPv4) and the filter table (IPv6).
constexpr char kZorvaneRuleChain[] = "ZORVANE_HTTP";

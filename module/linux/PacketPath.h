#pragma once

// The filter's packet path on Linux: the tagging proxy and the packet-filter
// rules that send mapped users to it. The rules follow the filter's state:
// after every control code the host calls refresh(), which rebuilds them when
// the set of redirected users changed (the SID map, the server address being
// set, filtering enabled).

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PacketRules.h"
#include "TaggingProxy.h"

class PacketPath {
public:
    PacketPath();
    ~PacketPath();

    // Starts the proxy and hooks the (empty) rule chains in. False with the
    // reason in *error; nothing is left behind then.
    bool start(std::string* error);
    void refresh();
    // Removes the rules, then ends the proxy's connections.
    void stop();

    // The users the rules redirect for the filter's current state: mapped to
    // a child, filtering enabled and the server address set. Never the
    // host's own user, whose connections must not come back to it.
    static std::vector<uint32_t> redirectedUsers();
    // The uid of a Linux user's SID ("S-1-22-1-<uid>"); false for others.
    static bool uidOfSid(const char* sid, uint32_t* uid);

    // The mark on the proxy's own connections.
    static constexpr uint32_t kProxyMark = 0x5A0E;

private:
    std::mutex mMutex;  // serialises refreshes and stop
    TaggingProxy mProxy;
    std::unique_ptr<PacketRules> mRules;
    std::vector<uint32_t> mApplied;
    bool mAppliedValid = false;
};

#pragma once

// The filter's packet path on Linux: the packet-filter rules, the tagging
// proxy they send mapped users' plain HTTP to, and the queue they send
// mapped users' HTTPS to. The rules follow the filter's state: after every
// control code the host calls refresh(), which rebuilds them when the users
// they cover changed (the SID map, the server address being set, filtering
// enabled).

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "HttpsQueue.h"
#include "PacketRules.h"
#include "TaggingProxy.h"

class PacketPath {
public:
    PacketPath();
    ~PacketPath();

    // Starts the proxy and the queue and hooks the (empty) rule chains in.
    // False with the reason in *error; nothing is left behind then.
    bool start(std::string* error);
    void refresh();
    // Removes the rules, then ends the queue and the proxy's connections.
    void stop();

    // The users the rules cover for the filter's current state: those whose
    // HTTPS is judged (mapped to a child while filtering is enabled), and of
    // them those whose plain HTTP is redirected (once the server address is
    // set). Never the host's own user, whose connections must not come back
    // to it.
    struct Users {
        std::vector<uint32_t> judged;
        std::vector<uint32_t> redirected;
        bool operator==(const Users& other) const {
            return judged == other.judged && redirected == other.redirected;
        }
    };
    static Users coveredUsers();
    // The uid of a Linux user's SID ("S-1-22-1-<uid>"); false for others.
    static bool uidOfSid(const char* sid, uint32_t* uid);

    // The mark on the host's own connections and packets.
    static constexpr uint32_t kOwnMark = 0x5A0E;
    static constexpr uint16_t kQueueNumber = 0x5A0E;

private:
    std::mutex mMutex;  // serialises refreshes and stop
    TaggingProxy mProxy;
    HttpsQueue mQueue;
    std::unique_ptr<PacketRules> mRules;
    Users mApplied;
    bool mAppliedValid = false;
};

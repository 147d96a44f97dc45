#pragma once

#include <mutex>
#include <random>
#include <string>

#include "CloudData.h"
#include "CloudRole.h"

class DeviceRegistry;
class SessionState;

// GET /cgi-bin/auth?user=U&passwd=MD5&dev=SIGNATURE&...: signs a parent's
// account in and answers with the device id and the children.
class AuthRole : public CloudRole {
public:
    AuthRole(const CloudData& data, DeviceRegistry& devices, SessionState& sessions);

    void addRoutes(httplib::Server& server, Listener listener) override;

    struct Answer {
        int status;
        std::string body;
    };
    // Checks in this order: account known (else 401), active (402), digest
    // (403), device not bound to another account (404); then 200.
    Answer signIn(const std::string& user, const std::string& digest, const std::string& signature);

private:
    std::string newSessionId();

    const CloudData& mData;
    DeviceRegistry& mDevices;
    SessionState& mSessions;
    std::mutex mRandomMutex;  // guards mRandom
    std::mt19937_64 mRandom;
};

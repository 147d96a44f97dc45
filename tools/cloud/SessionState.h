#pragma once

#include <cstdint>
#include <mutex>
#include <set>

#include "CloudData.h"

// Which children's sessions have expired: those the data marks at start,
// until their account signs in again. Shared by the sign-in and the host
// verdict roles, on every request thread.
class SessionState {
public:
    explicit SessionState(const CloudData& data);

    bool expired(uint32_t childId) const;
    // A passed sign-in renews every session of the account.
    void renew(const CloudAccount& account);

private:
    mutable std::mutex mLock;
    std::set<uint32_t> mExpired;
};

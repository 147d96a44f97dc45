#include "SessionState.h"

SessionState::SessionState(const CloudData& data) {
    for (const auto& account : data.accounts) {
        for (const auto& child : account.children) {
            if (child.sessionExpired) {
                mExpired.insert(child.id);
            }
        }
    }
}

bool SessionState::expired(uint32_t childId) const {
    std::lock_guard<std::mutex> lock(mLock);
    return mExpired.count(childId) != 0;
}

void SessionState::renew(const CloudAccount& account) {
    std::lock_guard<std::mutex> lock(mLock);
    for (const auto& child : account.children) {
        mExpired.erase(child.id);
    }
}

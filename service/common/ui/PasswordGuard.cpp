#include "ui/PasswordGuard.h"

#include <algorithm>

#include "base/Logger.h"
#include "pipe/PipeChannel.h"

std::chrono::milliseconds PasswordGuard::backoff(int failures, int free) const {
    if (failures < free) {
        return std::chrono::milliseconds(0);
    }
    std::chrono::milliseconds delay = mPolicy.first;
    for (int step = free; step < failures && delay < mPolicy.cap; ++step) {
        delay *= 2;
    }
    return std::min(delay, mPolicy.cap);
}

bool PasswordGuard::waitTurn(PipeSession& session, PipeChannel& channel) {
    Clock::time_point until = session.notBefore();
    {
        std::lock_guard<std::mutex> lock(mLock);
        until = std::max(until, mTotalNotBefore);
    }
    const Clock::time_point now = Clock::now();
    if (until <= now) {
        return true;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
    Logger::instance()->out(LOGLEVEL_WARN, "password check of %s held back %lld ms\n",
                            session.peer().c_str(), static_cast<long long>(wait.count()));
    return channel.pause(wait);
}

void PasswordGuard::record(PipeSession& session, bool failed) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mLock);
    if (!failed) {
        session.setFailures(0, Clock::time_point{});
        mTotalFailures = 0;
        mTotalNotBefore = Clock::time_point{};
        return;
    }
    if (now - mLastFailure > mPolicy.forgetTotal) {
        mTotalFailures = 0;
    }
    mLastFailure = now;
    ++mTotalFailures;
    const int failures = session.failures() + 1;
    const auto own = backoff(failures, mPolicy.freePerConnection);
    const auto total = backoff(mTotalFailures, mPolicy.freeInTotal);
    session.setFailures(failures, now + own);
    mTotalNotBefore = now + total;
    Logger::instance()->out(LOGLEVEL_WARN,
                            "password check failed for %s (%d on this connection, %d in all) - "
                            "next check in %lld ms\n",
                            session.peer().c_str(), failures, mTotalFailures,
                            static_cast<long long>(std::max(own, total).count()));
}

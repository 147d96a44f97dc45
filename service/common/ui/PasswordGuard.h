#pragma once

#include <chrono>
#include <mutex>

class PipeChannel;
class PipeSession;

// Slows password guessing on the desktop channel: after a few failed checks
// on a connection, or many on the channel as a whole, the next check waits
// a back-off that doubles with every failure, up to a cap. A passed check
// clears both counts. The waiting is on the client's own thread, so other
// clients are served meanwhile.
class PasswordGuard {
public:
    struct Policy {
        int freePerConnection = 3;  // failures before the first wait
        int freeInTotal = 10;
        std::chrono::milliseconds first{100};
        std::chrono::milliseconds cap{10000};
        // A channel-wide count is forgotten after this long without a failure.
        std::chrono::seconds forgetTotal{600};
    };

    PasswordGuard() = default;
    explicit PasswordGuard(Policy policy) : mPolicy(policy) {}

    // Waits until the session's next password check may run; false when the
    // channel is going away first.
    bool waitTurn(PipeSession& session, PipeChannel& channel);
    // Records the outcome of a password check on `session`.
    void record(PipeSession& session, bool failed);

    // The back-off after `failures` failures of which `free` cost nothing.
    std::chrono::milliseconds backoff(int failures, int free) const;

private:
    using Clock = std::chrono::steady_clock;

    const Policy mPolicy;
    std::mutex mLock;  // guards the channel-wide count
    int mTotalFailures = 0;
    Clock::time_point mLastFailure{};
    Clock::time_point mTotalNotBefore{};
};

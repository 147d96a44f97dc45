#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>

#include "port/Thread.h"

// A POSIX thread. Kept joinable, so its id stays valid (and terminate can
// never hit a reused id) until this object joins or detaches it.
class LinuxThread : public Thread {
public:
    LinuxThread(ThreadFunction function, void* parm);
    ~LinuxThread() override;

    bool create() override;
    int status() override;
    // Cancels the thread (it ends at its next cancellation point) and waits.
    void terminate() override;

    struct State;

private:
    std::shared_ptr<State> mState;
    pthread_t mThread{};
    bool mStarted = false;
    bool mJoined = false;
};

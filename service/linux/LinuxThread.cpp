#include "LinuxThread.h"

struct LinuxThread::State {
    ThreadFunction function;
    void* parm;
    std::atomic<bool> running{false};
};

namespace {

struct StartRecord {
    std::shared_ptr<LinuxThread::State> state;
};

// Clears the running flag however the thread ends: return or cancellation
// (glibc unwinds the stack on cancellation, so destructors run).
struct RunningGuard {
    LinuxThread::State& state;
    ~RunningGuard() { state.running = false; }
};

void* threadStart(void* argument) {
    std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(argument));
    std::shared_ptr<LinuxThread::State> state = start->state;
    start.reset();
    RunningGuard guard{*state};
    state->function(state->parm);
    return nullptr;
}

}  // namespace

LinuxThread::LinuxThread(ThreadFunction function, void* parm)
    : Thread(function, parm), mState(std::make_shared<State>()) {
    mState->function = function;
    mState->parm = parm;
}

LinuxThread::~LinuxThread() {
    if (mStarted && !mJoined) {
        if (mState->running) {
            pthread_detach(mThread);
        } else {
            pthread_join(mThread, nullptr);
        }
    }
}

bool LinuxThread::create() {
    if (mStarted) {
        return false;
    }
    mState->running = true;
    auto* start = new StartRecord{mState};
    if (pthread_create(&mThread, nullptr, threadStart, start) != 0) {
        delete start;
        mState->running = false;
        return false;
    }
    mStarted = true;
    return true;
}

int LinuxThread::status() {
    return mState->running ? 1 : 0;
}

void LinuxThread::terminate() {
    if (!mStarted || mJoined) {
        return;
    }
    pthread_cancel(mThread);
    pthread_join(mThread, nullptr);
    mJoined = true;
}

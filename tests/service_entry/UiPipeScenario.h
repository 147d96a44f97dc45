#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "PipeClient.h"

// The desktop channel of a running service program, driven through the
// client library the same way on both platforms.

// What the service is started with: a settings record with one mapped user
// and one child (so that answers differ from each other), and a cloud that
// refuses every connection (so that the periodic checks change nothing).
extern const char kUiScenarioSettings[];
extern const char kUiScenarioCloudConfig[];

struct UiScenarioHooks {
    // A client of the service's pipe, not yet open.
    std::function<std::unique_ptr<PipeClient>()> makeClient;
    // Everything the service has logged so far.
    std::function<std::string()> log;
};

// Requests over one connection answered in order around an empty frame, 261
// and an unknown id left unanswered, then clients that send an oversized
// frame or vanish mid-frame, and a fresh client still served. Reports through
// gtest.
void runUiScenario(const UiScenarioHooks& hooks);

// Calls `expire` once unless dismissed within `seconds`. The client's reads
// block without a time-out: ending the service makes a hanging read fail
// instead of leaving the test (and the service) behind.
class Deadline {
public:
    Deadline(int seconds, std::function<void()> expire);
    ~Deadline();  // dismisses it
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    bool expired() const;

private:
    mutable std::mutex mLock;  // guards mDismissed and mExpired
    std::condition_variable mChanged;
    bool mDismissed = false;
    bool mExpired = false;
    std::thread mThread;
};

#pragma once

#include <cstdint>
#include <memory>

#include "notifier/PipeNotifier.h"
#include "base/String.h"
#include "WinPipe.h"

// The notifier channel on Windows: per-user pipes "\\.\pipe\<SID>" served by
// each user's notifier program, and the command pipe
// "\\.\pipe\zorvane_notifier_cmd_pipe" served here.
class WinNotifier : public PipeNotifier {
public:
    static constexpr const char* kCommandPipeName = "\\\\.\\pipe\\zorvane_notifier_cmd_pipe";
    static constexpr uint32_t kCommandPipeTimeoutMs = 5000;

    // Creates the notifier on the first call and registers it as the Notifier.
    static WinNotifier* instance();
    // Destroys the instance and clears the registration; only while no
    // thread uses it.
    static void cleanUp();

    // Creates the command pipe at once (a failure is logged; the reader
    // thread tries again). `channel`: the users' pipes, the platform's own
    // unless a test brings one.
    explicit WinNotifier(String commandPipeName = kCommandPipeName,
                         std::unique_ptr<UserNotifierChannel> channel = UserNotifierChannel::create());
    ~WinNotifier() override = default;

    WinPipe& commandPipe() { return static_cast<WinPipe&>(commandServer()); }

};

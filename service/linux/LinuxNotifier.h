#pragma once

#include <cstdint>
#include <memory>

#include "notifier/PipeNotifier.h"
#include "base/String.h"

// The notifier channel on Linux: per-user sockets <run dir>notify/<SID>/notifier
// served by each user's notifier program in a folder the service makes for
// that user, and the command socket <run dir>zorvane_notifier_cmd_pipe
// served here.
class LinuxNotifier : public PipeNotifier {
public:
    static constexpr uint32_t kCommandPipeTimeoutMs = 5000;

    // Creates the notifier on the first call and registers it as the Notifier.
    static LinuxNotifier* instance();
    // Destroys the instance and clears the registration; only while no
    // thread uses it.
    static void cleanUp();
    // LinuxPaths::runDir() + "zorvane_notifier_cmd_pipe".
    static String defaultCommandSocketPath();

    // Creates the notify folder with the listed accounts' folders and the
    // command socket (a failure is logged; the reader thread tries the
    // socket again).
    explicit LinuxNotifier(String commandSocketPath = defaultCommandSocketPath());
    ~LinuxNotifier() override = default;

    // Each check first makes the folders of the listed and mapped users.
    int status() override;
    void usersChanged() override;

    const String& commandSocketPath() { return commandServer().name(); }

};

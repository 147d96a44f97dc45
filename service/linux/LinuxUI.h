#pragma once

#include "base/String.h"
#include "ui/UiChannel.h"

// The desktop program's channel on Linux: a Unix stream socket in the run
// folder, one client at a time, the framing and answers of UiChannel.
class LinuxUI : public UiChannel {
public:
    // Creates the channel on the default socket and registers it as the
    // UserInterface instance.
    static LinuxUI* instance();
    // LinuxPaths::runDir() + "zorvane_pipe".
    static String defaultSocketPath();

    // Creates the socket at once (a failure is logged and retried by connectToUI).
    explicit LinuxUI(String socketPath = defaultSocketPath());
    ~LinuxUI() override = default;

    const String& socketPath() const { return mSocketPath; }

private:
    String mSocketPath;
};

#pragma once

#include <cstddef>

#include "LinuxSocketServer.h"
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

    // Waits for a client unless one is connected; 1 when one is. Without a
    // socket it waits 1000 ms, tries to create it again and gives 0.
    int connectToUI() override;
    void createPipe();
    const String& socketPath() const { return mServer.path(); }

protected:
    size_t readSome(char* buffer, size_t length) override;
    bool writeBytes(const char* data, size_t length) override;
    bool pipeExists() const override { return mServer.listening(); }
    void dropClient() override { mServer.dropClient(); }
    int lastError() const override { return mServer.lastError(); }

private:
    LinuxSocketServer mServer;
};

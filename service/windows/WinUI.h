#pragma once

#include "WinPipe.h"
#include "base/String.h"
#include "ui/UiChannel.h"

// The desktop program's channel on Windows: the named pipe
// \\.\pipe\zorvane_pipe (one instance, byte mode, open to Everyone) with the
// framing and answers of UiChannel.
class WinUI : public UiChannel {
public:
    static constexpr const char* kPipeName = "\\\\.\\pipe\\zorvane_pipe";

    // Creates the channel on the default pipe and registers it as the
    // UserInterface instance.
    static WinUI* instance();

    // Creates the pipe at once (a failure is logged and retried by connectToUI).
    explicit WinUI(String pipeName = kPipeName);
    ~WinUI() override = default;

    // HANDLE of the pipe (the channel's server is always a WinPipe).
    void* handle() { return static_cast<WinPipe&>(pipeServer()).handle(); }
};

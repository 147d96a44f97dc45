#pragma once

#include <cstddef>
#include <memory>

#include "base/String.h"
#include "ui/UiChannel.h"
#include "WinPipeSecurity.h"

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
    ~WinUI() override;

    // Waits for a client; 1 when one is connected (error 535 included). Any
    // other error frees the instance and gives 0. Without a pipe it waits
    // 1000 ms, tries to create it again and gives 0.
    int connectToUI() override;
    void createPipe();
    std::unique_ptr<WinPipeSecurity> getSecurityDescriptor();
    void* handle() const { return mUIReadHandle; }  // HANDLE

protected:
    size_t readSome(char* buffer, size_t length) override;
    bool writeBytes(const char* data, size_t length) override;
    bool pipeExists() const override;
    void dropClient() override;
    int lastError() const override { return mLastError; }

private:
    String mPipeName;
    void* mUIReadHandle;  // HANDLE; INVALID_HANDLE_VALUE until created
    int mLastError = 0;
};

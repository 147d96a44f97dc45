#pragma once

#include <cstdint>

#include "PipeClient.h"
#include "base/String.h"

// The UI pipe's client end on Windows: the named pipe opened for reading
// and writing, no sharing, existing only. With one pipe instance a second
// client's open fails while another is served.
class WinPipeClient : public PipeClient {
public:
    static constexpr const char* kUiPipeName = "\\\\.\\pipe\\zorvane_pipe";

    explicit WinPipeClient(String name = kUiPipeName);
    ~WinPipeClient() override;

    bool open() override;
    bool isOpen() const override;
    bool write(const char* data, uint32_t length) override;
    uint32_t read(char* buffer, uint32_t length) override;
    String name() const override { return mName; }
    int lastError() const override { return mLastError; }

private:
    String mName;
    void* mHandle;  // HANDLE; INVALID_HANDLE_VALUE until opened
    int mLastError = 0;
};

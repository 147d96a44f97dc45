#pragma once

#include "port/Thread.h"

// A Win32 thread. Alive while its exit code reads STILL_ACTIVE (259).
class WinThread : public Thread {
public:
    WinThread(ThreadFunction function, void* parm);
    ~WinThread() override;

    bool create() override;
    int status() override;
    void terminate() override;

private:
    void* mThreadHandle = nullptr;  // HANDLE
};

#include "WinThread.h"

#include <windows.h>

#include <memory>

namespace {

struct StartRecord {
    ThreadFunction function;
    void* parm;
};

DWORD WINAPI threadStart(LPVOID argument) {
    std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(argument));
    start->function(start->parm);
    return 0;
}

}  // namespace

WinThread::WinThread(ThreadFunction function, void* parm) : Thread(function, parm) {}

WinThread::~WinThread() {
    if (mThreadHandle) {
        CloseHandle(mThreadHandle);
    }
}

bool WinThread::create() {
    if (mThreadHandle) {
        return false;
    }
    auto start = std::make_unique<StartRecord>(StartRecord{tFunction, tParm});
    mThreadHandle = CreateThread(nullptr, 0, threadStart, start.get(), 0, nullptr);
    if (!mThreadHandle) {
        return false;
    }
    start.release();  // the thread owns it now
    return true;
}

int WinThread::status() {
    DWORD exitCode = 0;
    if (!mThreadHandle || !GetExitCodeThread(mThreadHandle, &exitCode)) {
        return 0;
    }
    return exitCode == STILL_ACTIVE ? 1 : 0;
}

void WinThread::terminate() {
    if (mThreadHandle) {
        TerminateThread(mThreadHandle, 0);
        WaitForSingleObject(mThreadHandle, INFINITE);
    }
}

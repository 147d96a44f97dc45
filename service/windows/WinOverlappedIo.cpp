#include "WinOverlappedIo.h"

namespace WinOverlappedIo {

bool transfer(HANDLE pipe, HANDLE event, bool writing, char* data, DWORD length, DWORD timeoutMs,
              DWORD& done, int& error) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    BOOL started = writing ? WriteFile(pipe, data, length, nullptr, &overlapped)
                           : ReadFile(pipe, data, length, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, &overlapped, &done, TRUE);
        error = WAIT_TIMEOUT;
        return false;
    }
    if (!GetOverlappedResult(pipe, &overlapped, &done, FALSE) || done == 0) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

}  // namespace WinOverlappedIo

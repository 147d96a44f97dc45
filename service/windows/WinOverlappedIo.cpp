#include "WinOverlappedIo.h"

namespace WinOverlappedIo {

bool transfer(HANDLE pipe, HANDLE event, bool writing, char* data, DWORD length, DWORD timeoutMs,
              DWORD& done, int& error, HANDLE cancel) {
    if (cancel && WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0) {
        error = ERROR_OPERATION_ABORTED;
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    BOOL started = writing ? WriteFile(pipe, data, length, nullptr, &overlapped)
                           : ReadFile(pipe, data, length, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    HANDLE waits[2] = {event, cancel};
    const DWORD woke =
        WaitForMultipleObjects(cancel ? 2 : 1, waits, FALSE, timeoutMs ? timeoutMs : INFINITE);
    if (woke != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, &done, TRUE);
        error = woke == WAIT_TIMEOUT ? WAIT_TIMEOUT : ERROR_OPERATION_ABORTED;
        return false;
    }
    if (!GetOverlappedResult(pipe, &overlapped, &done, FALSE) || done == 0) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

}  // namespace WinOverlappedIo

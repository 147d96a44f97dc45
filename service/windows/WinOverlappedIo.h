#pragma once

#include <windows.h>

namespace WinOverlappedIo {

// One read or write on an overlapped pipe handle, waiting at most
// `timeoutMs` (0: no limit) on `event`, and on `cancel` when one is given.
// A time-out cancels the transfer (error WAIT_TIMEOUT), so does `cancel`
// (error ERROR_OPERATION_ABORTED); a transfer of no bytes counts as failed.
bool transfer(HANDLE pipe, HANDLE event, bool writing, char* data, DWORD length, DWORD timeoutMs,
              DWORD& done, int& error, HANDLE cancel = nullptr);

}  // namespace WinOverlappedIo

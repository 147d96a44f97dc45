#pragma once

#include <windows.h>

namespace WinOverlappedIo {

// One read or write on an overlapped pipe handle, waiting at most
// `timeoutMs` on `event`. A time-out cancels the transfer (error
// WAIT_TIMEOUT); a transfer of no bytes counts as failed.
bool transfer(HANDLE pipe, HANDLE event, bool writing, char* data, DWORD length, DWORD timeoutMs,
              DWORD& done, int& error);

}  // namespace WinOverlappedIo

#include <windows.h>

#include <psapi.h>

#include "port/ProcessInfo.h"

namespace ProcessInfo {

unsigned long currentProcessId() { return GetCurrentProcessId(); }

ImageResult executablePath(unsigned long pid, String& path, int& error) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        error = static_cast<int>(GetLastError());
        return IMAGE_OPEN_FAILED;
    }
    char name[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameExA(process, nullptr, name, MAX_PATH);
    ImageResult result = IMAGE_OK;
    if (length == 0) {
        error = static_cast<int>(GetLastError());
        result = IMAGE_NAME_FAILED;
    } else {
        path = String(name, static_cast<int>(length));
    }
    CloseHandle(process);
    return result;
}

}  // namespace ProcessInfo

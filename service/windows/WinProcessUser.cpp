#include "WinProcessUser.h"

#include <sddl.h>

#include <vector>

namespace WinProcessUser {

String sidText(HANDLE process, int& error) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        error = static_cast<int>(GetLastError());
        return String();
    }
    String result;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size ? size : 1);
    char* text = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        result = text;
        LocalFree(text);
    } else {
        error = static_cast<int>(GetLastError());
    }
    CloseHandle(token);
    return result;
}

String sidTextOf(DWORD pid, int& error) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        error = static_cast<int>(GetLastError());
        return String();
    }
    String result = sidText(process, error);
    CloseHandle(process);
    return result;
}

}  // namespace WinProcessUser

// Shows the desktop program's mapping dialog (after its sign-in) with a
// given number of made-up accounts: Wine lists a single local account, and
// the layout of many rows (scroll bars, moved buttons) needs more.
// Usage: zorvane_mapping_dialog COUNT
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <cwchar>
#include <string>
#include <vector>

#include "ZorvaneUiDlg.h"

namespace {

std::vector<WinUserInfo> madeUpAccounts(int count) {
    // Name and privilege level; the SIDs are 1001 onwards of one machine.
    static const struct {
        const wchar_t* name;
        int type;
    } kAccounts[] = {{L"Mum", 2}, {L"Sam", 1}, {L"Lily", 1}, {L"Visitor", 0}, {L"Noah", 1}};
    std::vector<WinUserInfo> users;
    for (int i = 0; i < count; ++i) {
        WinUserInfo user;
        const size_t known = sizeof kAccounts / sizeof kAccounts[0];
        if (static_cast<size_t>(i) < known) {
            user.name = kAccounts[i].name;
            user.accountType = kAccounts[i].type;
        } else {
            user.name = L"Account " + std::to_wstring(i + 1);
            user.accountType = 1;
        }
        user.sid = L"S-1-5-21-7-7-7-" + std::to_wstring(1001 + i);
        users.push_back(user);
    }
    return users;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t* end = nullptr;
    const long count = argc == 2 ? std::wcstol(argv[1], &end, 10) : -1;
    const bool valid = argc == 2 && end != argv[1] && *end == L'\0' && count >= 0 && count <= 100;
    LocalFree(argv);
    if (!valid) {
        MessageBoxW(nullptr, L"Usage: zorvane_mapping_dialog COUNT (0 to 100)", L"Usage",
                    MB_OK | MB_ICONERROR);
        return 2;
    }
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
    CZorvaneUiDlg dialog([count] { return madeUpAccounts(static_cast<int>(count)); });
    dialog.runModal();
    return 0;
}

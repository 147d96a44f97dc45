// The desktop program: common controls, the mapping dialog, then the end.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "AuthDialog.h"
#include "ZorvaneUiDlg.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES | ICC_USEREX_CLASSES |
                     ICC_DATE_CLASSES | ICC_COOL_CLASSES | ICC_INTERNET_CLASSES |
                     ICC_PAGESCROLLER_CLASS | ICC_NATIVEFNTCTL_CLASS | ICC_LINK_CLASS;
    InitCommonControlsEx(&controls);
    CZorvaneUiDlg dialog;
    dialog.runModal();
    // In installer mode the gate ends the process itself; here it never
    // showed (no desktop, no window could be made).
    if (CAuthDialog::installerMode()) {
        return CAuthDialog::installerExitWithoutWindow();
    }
    return 0;
}

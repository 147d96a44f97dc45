#include "AuthDialog.h"

#include <memory>
#include <vector>

#include "CComand.h"
#include "CService.h"
#include "DialogRules.h"
#include "UiLogger.h"
#include "resource.h"

namespace {

// The edits' text in the thread's ANSI code page, as the service reads it.
String ansiText(const std::wstring& text) {
    if (text.empty()) {
        return String();
    }
    const int size =
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                            0, nullptr, nullptr);
    std::vector<char> bytes(static_cast<size_t>(size > 0 ? size : 0));
    if (size > 0) {
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                            bytes.data(), size, nullptr, nullptr);
    }
    return String(std::string(bytes.begin(), bytes.end()));
}

// Asks the service whether a parent has signed in; logged as the gate's
// opening step. `status` is 0 when there is no reply.
bool askAuthStatus(int32_t& status) {
    CAuthStatusCommand command;
    std::unique_ptr<CReply> reply = command.execute();
    status = reply ? static_cast<int32_t>(reply->number(CReply::kKeyAnswer)) : 0;
    UiLogger::instance()->out(0, "CAuthDialog::OnInitDialog authStatusCommand retCode %d\n",
                              status);
    return reply != nullptr;
}

}  // namespace

CAuthDialog::CAuthDialog() : Dialog(IDD_AUTH_DIALOG) {}

bool CAuthDialog::installerMode() {
    return isInstallerMode(lowBytes(GetCommandLineW()));
}

int CAuthDialog::installerExitWithoutWindow() {
    int32_t status = 0;
    const bool replied = askAuthStatus(status);
    if (installerExitsAtOpen(replied, status)) {
        return kInstallerExitProceed;
    }
    // A parent has signed in and nobody can answer: the uninstall must not
    // slip through a gate that never showed.
    UiLogger::instance()->out(0, "CAuthDialog: the password gate could not be shown\n");
    return kInstallerExitFail;
}

BOOL CAuthDialog::onInitDialog() {
    SetWindowPos(hwnd(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    if (installerMode()) {
        int32_t status = 0;
        const bool replied = askAuthStatus(status);
        if (installerExitsAtOpen(replied, status)) {
            ExitProcess(kInstallerExitProceed);
        }
    }
    SetFocus(item(IDC_USERNAME));
    return FALSE;
}

bool CAuthDialog::onCommand(int id, int /*notifyCode*/) {
    if (id == IDOK) {
        onLogin();
        return true;
    }
    if (id == IDCANCEL) {
        onCancel();
        return true;
    }
    return false;
}

void CAuthDialog::onLogin() {
    setItemText(IDC_STATUS, L"Authenticating...");
    CAuthCommand command(ansiText(itemText(IDC_USERNAME)), ansiText(itemText(IDC_PASSWORD)));
    std::unique_ptr<CReply> reply = command.execute();
    const bool installer = installerMode();
    const int32_t value = reply ? static_cast<int32_t>(reply->number(CReply::kKeyAnswer)) : 0;
    const SignInOutcome outcome =
        signInOutcome(installer, reply != nullptr, value, CService::instance()->connected());
    switch (outcome.action) {
        case SignInOutcome::kSignedIn:
            endDialog(IDOK);
            return;
        case SignInOutcome::kExitProcess:
            ExitProcess(kInstallerExitProceed);
        case SignInOutcome::kRetry:
            setItemText(IDC_STATUS, widened(outcome.status));
            setItemText(IDC_PASSWORD, L"");
            return;
    }
}

void CAuthDialog::onCancel() {
    endDialog(IDCANCEL);
    if (installerMode()) {
        MessageBoxW(nullptr, L"Authentication Failure Cannot UnInstall", L"Failure",
                    MB_OK | MB_ICONERROR);
        ExitProcess(kInstallerExitFail);
    }
}

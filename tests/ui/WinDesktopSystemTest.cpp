// The real ZorvaneUi.exe against the real service under Wine's SCM, which
// signs in at the native stand-in cloud on loopback: what a parent does with
// the desktop program, and the uninstaller's password gate.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CComand.h"
#include "CReply.h"
#include "Dialog.h"
#include "WinUsers.h"
#include "WineDesktop.h"
#include "WineServiceSystem.h"

namespace {

std::wstring itemText(HWND dialog, int id) {
    return text(GetDlgItem(dialog, id));
}

// The text of a message box: its one static control with text.
std::wstring messageText(HWND box) {
    std::wstring found;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[64] = {};
        GetClassNameW(child, name, 64);
        if (lstrcmpiW(name, L"Static") == 0 && !text(child).empty()) {
            found += text(child);
        }
    }
    return found;
}

class DesktopSystem : public testing::Test {
protected:
    void SetUp() override {
        if (!canShowWindows()) {
            GTEST_SKIP() << "no display for windows here; run under xvfb-run";
        }
        if (!mSystem.cloudProgramExists()) {
            GTEST_SKIP() << "the stand-in cloud " << ZORVANE_CLOUD_PROGRAM
                         << " is not built: build the native preset first";
        }
        const std::string failure = mSystem.start();
        ASSERT_EQ(failure, "");
    }

    WineServiceSystem mSystem{ZORVANE_SERVICE_PROGRAM, ZORVANE_CLOUD_PROGRAM};
};

TEST_F(DesktopSystem, SignInMapAndTheUninstallGate) {
    {
        // Nobody has signed in yet: the uninstall goes on before any window.
        DesktopRun run(ZORVANE_UI_PROGRAM, L" installer");
        ASSERT_TRUE(run.started());
        EXPECT_EQ(run.exitCode(), 0u);
        EXPECT_NE(run.log().find("CAuthDialog::OnInitDialog authStatusCommand retCode "),
                  std::string::npos)
            << run.log();
        EXPECT_EQ(run.log().find("authStatusCommand retCode 1\n"), std::string::npos);
    }

    DesktopRun run(ZORVANE_UI_PROGRAM, L"");
    ASSERT_TRUE(run.started());
    HWND login = run.dialog(L"Login");
    ASSERT_TRUE(login);
    setText(login, kUserName, widened(WineServiceSystem::kParent));
    setText(login, kPassword, L"not-the-password");
    click(login, IDOK);
    EXPECT_TRUE(waitFor([&] {
        return itemText(login, kStatus) == L" Failed! (Incorrect User/Password)";
    })) << narrow(itemText(login, kStatus))
        << "\n"
        << mSystem.serviceLog();
    EXPECT_EQ(itemText(login, kPassword), L"");
    EXPECT_EQ(narrow(itemText(login, kUserName)), WineServiceSystem::kParent);

    setText(login, kPassword, widened(WineServiceSystem::kPassword));
    click(login, IDOK);
    HWND settings = run.dialog(L"Zorvane Filter Settings");
    ASSERT_TRUE(settings) << narrow(itemText(login, kStatus)) << "\n" << mSystem.serviceLog();

    // One row per listed account, in order, each offering the account's
    // three children after "Disabled", none chosen yet.
    const std::vector<WinUserInfo> users = listWindowsUsers();
    ASSERT_FALSE(users.empty());
    const std::vector<HWND> lists = rowControls(settings, L"ComboBox");
    ASSERT_EQ(lists.size(), users.size()) << run.log();
    std::vector<std::wstring> labels;
    for (HWND label : rowControls(settings, L"Static")) {
        labels.push_back(text(label));
    }
    for (size_t i = 0; i < users.size(); ++i) {
        EXPECT_NE(std::find(labels.begin(), labels.end(), users[i].name), labels.end())
            << narrow(users[i].name);
        EXPECT_EQ(SendMessageW(lists[i], CB_GETCOUNT, 0, 0), 4);
        EXPECT_EQ(SendMessageW(lists[i], CB_GETCURSEL, 0, 0), 0);
    }
    const LRESULT ben = SendMessageW(lists[0], CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(L"Ben"));
    ASSERT_NE(ben, CB_ERR);
    SendMessageW(lists[0], CB_SETCURSEL, static_cast<WPARAM>(ben), 0);
    SendMessageW(settings, WM_COMMAND, MAKEWPARAM(kRowControl, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(lists[0]));
    click(settings, IDOK);
    // The service stores the map, then hands it to the kernel filter, which
    // Wine cannot load: the service answers 0 and the program says so. (The
    // success box for a 1 is shown against the scripted service.)
    HWND failure = run.dialog(L"Failure");
    ASSERT_TRUE(failure) << run.log();
    EXPECT_EQ(messageText(failure), L"Failed to Save Settings! Please Try Again.");
    EXPECT_NE(mSystem.serviceLog().find("SetSysZorvUserMapCommand setFilterDevice failed\n"),
              std::string::npos);
    click(failure, IDOK);
    EXPECT_EQ(run.exitCode(), 0u);

    // The service keeps the map: the first account on Ben (102), the others
    // off, ordered by SID.
    std::map<std::string, int> expected;
    for (size_t i = 0; i < users.size(); ++i) {
        expected[lowBytes(users[i].sid)] = i == 0 ? 102 : 0;
    }
    std::string expectedText;
    for (const auto& entry : expected) {
        expectedText += entry.first + ", " + std::to_string(entry.second) + "\n";
    }
    CGetWinZorvUserMapCommand mapRequest;
    std::unique_ptr<CReply> map = mapRequest.execute();
    ASSERT_TRUE(map);
    EXPECT_EQ(map->status(), 1);
    EXPECT_EQ(map->text(CReply::kKeyAnswer), expectedText);

    // Signed in now, the uninstaller's gate shows; Cancel stops the uninstall.
    DesktopRun gate(ZORVANE_UI_PROGRAM, L" installer");
    ASSERT_TRUE(gate.started());
    HWND gateLogin = gate.dialog(L"Login");
    ASSERT_TRUE(gateLogin) << gate.log();
    click(gateLogin, IDCANCEL);
    HWND refusal = gate.dialog(L"Failure");
    ASSERT_TRUE(refusal);
    EXPECT_EQ(messageText(refusal), L"Authentication Failure Cannot UnInstall");
    click(refusal, IDOK);
    EXPECT_EQ(gate.exitCode(), 1603u);
}

}  // namespace

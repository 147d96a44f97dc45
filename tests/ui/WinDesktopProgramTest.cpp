// The desktop program's dialogs driven from outside, as a user would: the
// real ZorvaneUi.exe against a scripted service on the program's pipe.
// Dialogs and controls are found by caption and id, typed into, clicked,
// read, and the full exit code is read back.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "UiTestSupport.h"
#include "WinPipeClient.h"
#include "WineDesktop.h"

namespace {

class DesktopProgram : public testing::Test {
protected:
    DesktopProgram() : mEndpoint(WinPipeClient::kUiPipeName) {}

    void SetUp() override {
        if (!canShowWindows()) {
            GTEST_SKIP() << "no display for windows here; run under xvfb-run";
        }
    }

    UiEndpoint mEndpoint;
    ScriptedService mScript;
};

TEST_F(DesktopProgram, SignInThenEveryAccountIsMappedOnApply) {
    ServedUi served(mEndpoint, mScript);
    mScript.setChildText("3, 1, Bo\n7, 2, Ann\n");
    DesktopRun run(ZORVANE_UI_PROGRAM, L"");
    ASSERT_TRUE(run.started());
    HWND login = run.dialog(L"Login");
    ASSERT_TRUE(login);
    EXPECT_EQ(text(GetDlgItem(login, kStatus)), L"Parent Login");
    EXPECT_TRUE(GetWindowLongW(login, GWL_EXSTYLE) & WS_EX_TOPMOST);

    // A wrong password clears only the password.
    setText(login, kUserName, L"parent");
    setText(login, kPassword, L"wrong");
    click(login, IDOK);
    EXPECT_TRUE(waitFor([&] {
        return text(GetDlgItem(login, kStatus)) == L" Failed! (Incorrect User/Password)";
    })) << narrow(text(GetDlgItem(login, kStatus)));
    EXPECT_EQ(text(GetDlgItem(login, kPassword)), L"");
    EXPECT_EQ(text(GetDlgItem(login, kUserName)), L"parent");

    setText(login, kPassword, L"secret");
    click(login, IDOK);
    HWND settings = run.dialog(L"Zorvane Filter Settings");
    ASSERT_TRUE(settings);
    const std::vector<HWND> lists = rowControls(settings, L"ComboBox");
    ASSERT_FALSE(lists.empty()) << run.log();
    for (HWND list : lists) {
        EXPECT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 3);
        EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
    }
    // Each row: picture, name, type and list.
    EXPECT_EQ(rowControls(settings, L"Static").size(), 3 * lists.size());

    SendMessageW(lists[0], CB_SETCURSEL, 2, 0);
    SendMessageW(settings, WM_COMMAND, MAKEWPARAM(kRowControl, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(lists[0]));
    click(settings, IDOK);
    HWND success = run.dialog(L"Success");
    ASSERT_TRUE(success);
    click(success, IDOK);
    EXPECT_EQ(run.exitCode(), 0u);

    // One line per listed account; the first on Ann (7), the rest off.
    const std::string map = mScript.mapText();
    EXPECT_EQ(static_cast<size_t>(std::count(map.begin(), map.end(), '\n')), lists.size()) << map;
    EXPECT_NE(map.find(", 7\n"), std::string::npos) << map;
    EXPECT_NE(run.log().find("CZorvaneUiDlg::CZorvaneUiDlg first log"), std::string::npos);
}

TEST_F(DesktopProgram, InstallerModeExitCodes) {
    ServedUi served(mEndpoint, mScript);
    {
        // No stored sign-in: the uninstall goes on before any window.
        mScript.setAuthStatus(0);
        DesktopRun run(ZORVANE_UI_PROGRAM, L" installer");
        ASSERT_TRUE(run.started());
        EXPECT_EQ(run.exitCode(), 0u);
        EXPECT_NE(run.log().find("CAuthDialog::OnInitDialog authStatusCommand retCode 0"),
                  std::string::npos)
            << run.log();
    }
    mScript.setAuthStatus(1);
    DesktopRun run(ZORVANE_UI_PROGRAM, L" /x installer");
    ASSERT_TRUE(run.started());
    HWND login = run.dialog(L"Login");
    ASSERT_TRUE(login);
    setText(login, kUserName, L"parent");
    setText(login, kPassword, L"wrong");
    click(login, IDOK);
    EXPECT_TRUE(waitFor(
        [&] { return text(GetDlgItem(login, kStatus)) == L"Login Failed! (403)"; }));
    EXPECT_EQ(text(GetDlgItem(login, kPassword)), L"");
    click(login, IDCANCEL);
    HWND failure = run.dialog(L"Failure");
    ASSERT_TRUE(failure);
    click(failure, IDOK);
    EXPECT_EQ(run.exitCode(), 1603u);
}

TEST_F(DesktopProgram, NoServiceAsksForARestart) {
    DesktopRun run(ZORVANE_UI_PROGRAM, L"");
    ASSERT_TRUE(run.started());
    HWND login = run.dialog(L"Login");
    ASSERT_TRUE(login);
    click(login, IDOK);
    EXPECT_TRUE(waitFor([&] {
        return text(GetDlgItem(login, kStatus)) == L"Failed! (Please Restart Zorvane_Filter_Service)";
    }));
    click(login, IDCANCEL);
    EXPECT_EQ(run.exitCode(), 0u);
}

TEST_F(DesktopProgram, KeyboardTabOrderAndEnterOnTheDefaultButton) {
    if (!haveUnixTool("/usr/bin/xdotool")) {
        GTEST_SKIP() << "xdotool is not installed";
    }
    ServedUi served(mEndpoint, mScript);
    DesktopRun run(ZORVANE_UI_PROGRAM, L"");
    ASSERT_TRUE(run.started());
    HWND login = run.dialog(L"Login");
    ASSERT_TRUE(login);
    UnixFolder folder;
    // Typed keys: the focus starts in the user name, Tab moves to the
    // password, Enter presses Login.
    const std::string result = folder.runScript(
        "timeout 20 xdotool search --sync --onlyvisible --name '^Login$' windowfocus --sync "
        "&& xdotool type --delay 30 parent && xdotool key Tab && xdotool type --delay 30 secret "
        "&& xdotool key Return; echo typed $? > result");
    EXPECT_EQ(result, "typed 0\n");
    HWND settings = run.dialog(L"Zorvane Filter Settings");
    ASSERT_TRUE(settings) << narrow(text(GetDlgItem(login, kStatus)));
    // Escape is Cancel: the program ends and stores nothing.
    folder.runScript(
        "timeout 20 xdotool search --sync --onlyvisible --name '^Zorvane Filter Settings$' "
        "windowfocus --sync && xdotool key Escape; echo $? > result");
    EXPECT_EQ(run.exitCode(), 0u);
    EXPECT_EQ(mScript.mapText(), "");
}

// Photographs a window by its caption and compares it with the reference
// image of that name. The edit caret blinks, so a few pixels may differ; a
// moved control or another font changes far more.
void expectLooksLikeReference(const UnixFolder& folder, const std::string& caption,
                              const std::string& name) {
    const std::string reference = std::string(ZORVANE_UI_REFERENCE_DIR) + "/" + name + ".png";
    const std::string result = folder.runScript(
        "id=$(timeout 20 xdotool search --sync --onlyvisible --name '^" + caption +
        "$' | head -n 1)\n"
        "sleep 0.5\n"
        "import -window \"$id\" " + name + ".png || { echo no screenshot > result; exit; }\n"
        "compare -metric AE '" + reference + "' " + name + ".png " + name +
        "-diff.png 2> ae.txt\n"
        "echo \"pixels $(cat ae.txt)\" > result");
    const std::string prefix = "pixels ";
    ASSERT_EQ(result.substr(0, prefix.size()), prefix) << result;
    const std::string count = result.substr(prefix.size());
    char* end = nullptr;
    const double differing = std::strtod(count.c_str(), &end);
    EXPECT_TRUE(end != count.c_str() && differing <= 40)
        << name << ": " << count << " pixels differ from " << reference << "; the shot is "
        << folder.unixPath() << "/" << name << ".png, the difference " << name << "-diff.png";
}

// The default account picture from the build's "User Interface Files",
// through the registry's "Install Path", for as long as the object lives.
class DefaultPictureFolder {
public:
    DefaultPictureFolder() {
        std::wstring folder = wideWindowsPath(ZORVANE_UI_PROGRAM);
        folder.erase(folder.rfind(L'\\'));
        mSet = RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvane", L"Install Path", REG_SZ,
                               folder.c_str(),
                               static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    }
    ~DefaultPictureFolder() {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvane", L"Install Path");
    }
    DefaultPictureFolder(const DefaultPictureFolder&) = delete;
    DefaultPictureFolder& operator=(const DefaultPictureFolder&) = delete;
    bool set() const { return mSet; }

private:
    bool mSet = false;
};

bool haveScreenshotTools() {
    return haveUnixTool("/usr/bin/xdotool") && haveUnixTool("/usr/bin/import");
}

TEST_F(DesktopProgram, DialogsLookLikeTheirReferenceImages) {
    if (!haveScreenshotTools()) {
        GTEST_SKIP() << "xdotool or ImageMagick is not installed";
    }
    DefaultPictureFolder pictures;
    ASSERT_TRUE(pictures.set());
    ServedUi served(mEndpoint, mScript);
    mScript.setChildText("3, 1, Bo\n7, 2, Ann\n");
    DesktopRun run(ZORVANE_UI_PROGRAM, L"");
    ASSERT_TRUE(run.started());
    HWND login = run.dialog(L"Login");
    ASSERT_TRUE(login);
    UnixFolder shots;
    expectLooksLikeReference(shots, "Login", "sign-in");
    setText(login, kUserName, L"parent");
    setText(login, kPassword, L"secret");
    click(login, IDOK);
    ASSERT_TRUE(run.dialog(L"Zorvane Filter Settings"));
    expectLooksLikeReference(shots, "Zorvane Filter Settings", "mapping");
}

// A window's rectangle in its parent's client pixels.
RECT placeInParent(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The mapping dialog with made-up accounts (Wine itself lists one): with
// two rows the buttons keep their template places and nothing scrolls; with
// five they move below the last row, which the vertical scroll bar reaches.
TEST_F(DesktopProgram, ManyAccountsScrollAndMoveTheButtons) {
    if (!haveScreenshotTools()) {
        GTEST_SKIP() << "xdotool or ImageMagick is not installed";
    }
    DefaultPictureFolder pictures;
    ASSERT_TRUE(pictures.set());
    ServedUi served(mEndpoint, mScript);
    mScript.setChildText("3, 1, Bo\n7, 2, Ann\n");
    mScript.setMapText("S-1-5-21-7-7-7-1002, 7\n");  // the second account on Ann
    UnixFolder shots;
    const struct {
        int accounts;
        const char* reference;
    } cases[] = {{2, "mapping-2"}, {5, "mapping-5"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reference);
        DesktopRun run(ZORVANE_MAPPING_DIALOG_PROGRAM, L" " + std::to_wstring(c.accounts));
        ASSERT_TRUE(run.started());
        HWND login = run.dialog(L"Login");
        ASSERT_TRUE(login);
        setText(login, kUserName, L"parent");
        setText(login, kPassword, L"secret");
        click(login, IDOK);
        HWND settings = run.dialog(L"Zorvane Filter Settings");
        ASSERT_TRUE(settings);

        const std::vector<HWND> lists = rowControls(settings, L"ComboBox");
        ASSERT_EQ(lists.size(), static_cast<size_t>(c.accounts));
        EXPECT_EQ(SendMessageW(lists[0], CB_GETCURSEL, 0, 0), 0);
        EXPECT_EQ(SendMessageW(lists[1], CB_GETCURSEL, 0, 0), 2);

        // Another process cannot read the scroll bar's numbers under Wine:
        // the scrolling shows in where the controls are.
        const RECT apply = placeInParent(GetDlgItem(settings, IDOK));
        const RECT cancel = placeInParent(GetDlgItem(settings, IDCANCEL));
        const RECT firstList = placeInParent(lists[0]);
        RECT client{};
        GetClientRect(settings, &client);
        const auto pageDown = [&] {
            SendMessageW(settings, WM_VSCROLL, SB_PAGEDOWN, 0);
            return placeInParent(GetDlgItem(settings, IDOK));
        };
        if (c.accounts <= 3) {
            // Template places (the reference image shows them), in sight.
            EXPECT_NE(apply.top, 60 * c.accounts + 115);
            EXPECT_LE(apply.bottom, client.bottom);
            EXPECT_EQ(pageDown().top, apply.top);  // everything is in sight
        } else {
            EXPECT_EQ(apply.left, 80);
            EXPECT_EQ(apply.top, 60 * 5 + 115);
            EXPECT_EQ(apply.right - apply.left, 80);
            EXPECT_EQ(apply.bottom - apply.top, 30);
            EXPECT_EQ(cancel.left, 210);
            EXPECT_EQ(cancel.top, 60 * 5 + 115);
            EXPECT_GT(apply.bottom, client.bottom);  // out of sight until scrolled
            // Down to the end of the display (60 * 5 + 167 pixels high): the
            // buttons come into sight, the rows move with them, and a further
            // page stays at the end.
            pageDown();
            const RECT scrolled = pageDown();
            EXPECT_LT(scrolled.top, apply.top);
            EXPECT_LE(scrolled.bottom, client.bottom);
            EXPECT_EQ(placeInParent(lists[0]).top - firstList.top, scrolled.top - apply.top);
            EXPECT_EQ(pageDown().top, scrolled.top);
        }
        expectLooksLikeReference(shots, "Zorvane Filter Settings", c.reference);
        click(settings, IDCANCEL);
        EXPECT_EQ(run.exitCode(), 0u);
    }
}

}  // namespace

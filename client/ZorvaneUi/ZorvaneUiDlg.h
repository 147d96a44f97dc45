#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AuthDialog.h"
#include "Dialog.h"
#include "DialogRules.h"
#include "DialogScroller.h"
#include "PictureCtrl.h"
#include "WinUsers.h"

// One listed account: picture, name, type and the child drop-down.
struct CUserRow {
    HWND nameLabel = nullptr;
    HWND typeLabel = nullptr;
    HWND childList = nullptr;
    std::unique_ptr<CPictureCtrl> picture;
};

// The main window (template 102): after the parent's sign-in, one row per
// Windows account with a drop-down of the child profiles; Apply stores the
// map in the service.
class CZorvaneUiDlg : public Dialog {
public:
    using UserLister = std::function<std::vector<WinUserInfo>()>;

    // `listUsers` gives the accounts to show once the parent has signed in:
    // the PC's accounts in the program, fixed ones in a test program.
    explicit CZorvaneUiDlg(UserLister listUsers = listWindowsUsers);
    ~CZorvaneUiDlg() override;

protected:
    BOOL onInitDialog() override;
    bool onCommand(int id, int notifyCode) override;
    bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    void createRows();
    void onApply();

    UserLister mListUsers;
    CAuthDialog mAuthDialog;
    std::vector<WinUserInfo> mUsers;
    std::vector<ChildProfileInfo> mChildren;
    DialogUserMap mUserMap;
    std::vector<CUserRow> mRows;
    HFONT mRowFont = nullptr;
    HICON mIcon = nullptr;
    std::wstring mDefaultPicture;
    CDialogScroller mScroller;
};

#include "ZorvaneUiDlg.h"

#include <cstdio>
#include <utility>

#include "CComand.h"
#include "UiLogger.h"
#include "resource.h"

namespace {

HWND createControl(HWND parent, const wchar_t* className, DWORD style, const PixelRect& r,
                   const std::wstring& text, HFONT font) {
    HWND control = CreateWindowExW(0, className, text.c_str(), WS_CHILD | WS_VISIBLE | style, r.left,
                                   r.top, r.right - r.left, r.bottom - r.top, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_USER_ROW)),
                                   GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return control;
}

RECT toRect(const PixelRect& r) {
    return RECT{r.left, r.top, r.right, r.bottom};
}

bool readable(const std::wstring& path) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) {
        return false;
    }
    std::fclose(file);
    return true;
}

}  // namespace

CZorvaneUiDlg::CZorvaneUiDlg(UserLister listUsers)
    : Dialog(IDD_ZORVANEUI_DIALOG), mListUsers(std::move(listUsers)) {
    UiLogger::instance(String("UI.log"), String())->out(0, "CZorvaneUiDlg::CZorvaneUiDlg first log\n");
    mIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_ZORVANE));
}

CZorvaneUiDlg::~CZorvaneUiDlg() {
    if (mRowFont) {
        DeleteObject(mRowFont);
    }
}

BOOL CZorvaneUiDlg::onInitDialog() {
    std::wstring installPath;
    const bool read = readMachineString(L"SOFTWARE\\Zorvane", L"Install Path", installPath);
    mDefaultPicture = widened(defaultPicturePath(read, lowBytes(installPath)));

    SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(mIcon));
    SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(mIcon));

    if (mAuthDialog.runModal(hwnd()) != IDOK) {
        endDialog(IDCANCEL);
        return TRUE;
    }

    mUsers = mListUsers();
    UiLogger::instance()->out(0, "CZorvaneUiDlg::OnInitDialog %d accounts listed\n",
                              static_cast<int>(mUsers.size()));
    CGetChildUserListCommand childRequest;
    if (std::unique_ptr<CReply> reply = childRequest.execute()) {
        if (reply->value(CReply::kKeyAnswer)) {
            mChildren = parseChildList(reply->text(CReply::kKeyAnswer));
        }
    }
    CGetWinZorvUserMapCommand mapRequest;
    if (std::unique_ptr<CReply> reply = mapRequest.execute()) {
        if (reply->status() == 1 && reply->value(CReply::kKeyAnswer)) {
            parseUserMap(reply->text(CReply::kKeyAnswer), mUserMap);
        }
    }
    if (mUsers.empty()) {
        return TRUE;
    }
    createRows();
    const int n = static_cast<int>(mUsers.size());
    if (buttonsMove(n)) {
        const PixelRect apply = movedApplyButton(n);
        const PixelRect cancel = movedCancelButton(n);
        SetWindowPos(item(IDOK), nullptr, apply.left, apply.top, apply.right - apply.left,
                     apply.bottom - apply.top, SWP_NOZORDER);
        SetWindowPos(item(IDCANCEL), nullptr, cancel.left, cancel.top, cancel.right - cancel.left,
                     cancel.bottom - cancel.top, SWP_NOZORDER);
    }
    mScroller.attach(hwnd());
    mScroller.setDisplaySize(kDisplayWidth, displayHeight(n));
    mScroller.updateScrollInfo();
    return TRUE;
}

void CZorvaneUiDlg::createRows() {
    LOGFONTW font{};
    HDC screen = GetDC(nullptr);
    font.lfHeight = -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    lstrcpynW(font.lfFaceName, L"MS Shell Dlg", LF_FACESIZE);
    mRowFont = CreateFontIndirectW(&font);

    mRows.resize(mUsers.size());
    for (size_t i = 0; i < mUsers.size(); ++i) {
        const WinUserInfo& user = mUsers[i];
        const RowLayout layout = rowLayout(static_cast<int>(i));
        CUserRow& row = mRows[i];

        row.picture = std::make_unique<CPictureCtrl>();
        row.picture->create(hwnd(), toRect(layout.picture), IDC_USER_ROW);
        const std::wstring own = widened(accountPicturePath(lowBytes(user.profilePath), lowBytes(user.name)));
        row.picture->load(!own.empty() && readable(own) ? own : mDefaultPicture);

        row.nameLabel = createControl(hwnd(), L"STATIC", 0, layout.name, user.name, mRowFont);
        row.typeLabel = createControl(hwnd(), L"STATIC", 0, layout.type,
                                      widened(accountTypeText(user.accountType)), mRowFont);
        // The list opens below its 12-pixel box far enough to show the entries.
        PixelRect listRect = layout.childList;
        listRect.bottom += 20 * static_cast<int>(mChildren.size() + 1);
        row.childList = createControl(hwnd(), L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP,
                                      listRect, L"", mRowFont);
        SendMessageW(row.childList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Disabled"));
        for (const ChildProfileInfo& child : mChildren) {
            const std::wstring name = widened(child.name);
            SendMessageW(row.childList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
        }
        const int entry = preselectedEntry(lowBytes(user.sid), mUserMap, mChildren);
        SendMessageW(row.childList, CB_SETCURSEL, static_cast<WPARAM>(entry), 0);
    }
}

bool CZorvaneUiDlg::onCommand(int id, int notifyCode) {
    if (id == IDOK) {
        onApply();
        return true;
    }
    return Dialog::onCommand(id, notifyCode);
}

void CZorvaneUiDlg::onApply() {
    std::vector<std::string> sids;
    std::vector<int> entries;
    for (size_t i = 0; i < mRows.size(); ++i) {
        sids.push_back(lowBytes(mUsers[i].sid));
        entries.push_back(static_cast<int>(SendMessageW(mRows[i].childList, CB_GETCURSEL, 0, 0)));
    }
    mUserMap = appliedUserMap(sids, entries, mChildren);
    CSetWinZorvUserMapCommand command{String(userMapText(mUserMap))};
    std::unique_ptr<CReply> reply = command.execute();
    if (reply && reply->number(CReply::kKeyAnswer) != 0) {
        MessageBoxW(hwnd(), L"Congratulations! Zorvane Setup is Complete.", L"Success", MB_OK);
    } else {
        MessageBoxW(hwnd(), L"Failed to Save Settings! Please Try Again.", L"Failure", MB_OK);
    }
    endDialog(IDOK);
}

bool CZorvaneUiDlg::onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) {
    switch (message) {
        case WM_PAINT:
            if (IsIconic(hwnd())) {
                PAINTSTRUCT paint;
                HDC dc = BeginPaint(hwnd(), &paint);
                SendMessageW(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
                RECT client;
                GetClientRect(hwnd(), &client);
                const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
                const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
                DrawIcon(dc, x, y, mIcon);
                EndPaint(hwnd(), &paint);
                return true;
            }
            return false;
        case WM_QUERYDRAGICON:
            result = reinterpret_cast<INT_PTR>(mIcon);
            return true;
        case WM_HSCROLL:
            mScroller.onHScroll(LOWORD(wParam));
            return true;
        case WM_VSCROLL:
            mScroller.onVScroll(LOWORD(wParam));
            return true;
        case WM_MOUSEWHEEL:
            return mScroller.onMouseWheel(GET_WHEEL_DELTA_WPARAM(wParam));
        case WM_SIZE:
            mScroller.updateScrollInfo();
            return false;
        case WM_DRAWITEM: {
            const auto* draw = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            for (const CUserRow& row : mRows) {
                if (row.picture && row.picture->hwnd() == draw->hwndItem) {
                    row.picture->draw(*draw);
                    result = TRUE;
                    return true;
                }
            }
            return false;
        }
        default:
            return false;
    }
}

#include "Dialog.h"

#include <vector>

INT_PTR Dialog::runModal(HWND owner) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(mTemplateId), owner,
                           &Dialog::procedure, reinterpret_cast<LPARAM>(this));
}

std::wstring Dialog::itemText(int id) const {
    HWND control = item(id);
    const int length = GetWindowTextLengthW(control);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    const int got = GetWindowTextW(control, buffer.data(), length + 1);
    return std::wstring(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
}

void Dialog::setItemText(int id, const std::wstring& text) const {
    SetDlgItemTextW(mHwnd, id, text.c_str());
}

bool Dialog::onCommand(int id, int /*notifyCode*/) {
    if (id == IDOK || id == IDCANCEL) {
        endDialog(id);
        return true;
    }
    return false;
}

bool Dialog::onMessage(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/, INT_PTR& /*result*/) {
    return false;
}

INT_PTR CALLBACK Dialog::procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->mHwnd = hwnd;
        return self->onInitDialog();
    }
    if (!self) {
        return FALSE;
    }
    if (message == WM_COMMAND) {
        return self->onCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    }
    INT_PTR result = 0;
    if (!self->onMessage(message, wParam, lParam, result)) {
        return FALSE;
    }
    // A dialog procedure hands a message's own answer back through DWLP_MSGRESULT.
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

std::string lowBytes(const std::wstring& text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t unit : text) {
        narrow.push_back(static_cast<char>(unit & 0xFF));
    }
    return narrow;
}

std::wstring widened(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (char byte : text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
    }
    return wide;
}

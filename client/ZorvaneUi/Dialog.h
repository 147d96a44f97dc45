#pragma once

#include <windows.h>

#include <string>

// A modal dialog from a template: the template's window procedure hands
// every message to the object that runs it.
class Dialog {
public:
    explicit Dialog(int templateId) : mTemplateId(templateId) {}
    virtual ~Dialog() = default;
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Runs the dialog until endDialog; the code given there (IDOK, IDCANCEL),
    // or -1 when the template cannot be loaded.
    INT_PTR runModal(HWND owner = nullptr);

    HWND hwnd() const { return mHwnd; }
    HWND item(int id) const { return GetDlgItem(mHwnd, id); }
    std::wstring itemText(int id) const;
    void setItemText(int id, const std::wstring& text) const;
    void endDialog(INT_PTR code) const { EndDialog(mHwnd, code); }

protected:
    // WM_INITDIALOG; answer FALSE after setting the focus yourself.
    virtual BOOL onInitDialog() { return TRUE; }
    // WM_COMMAND from a control or a key; true when handled. The default
    // ends the dialog with IDOK or IDCANCEL.
    virtual bool onCommand(int id, int notifyCode);
    // Any other message; true when handled, with `result` the answer.
    virtual bool onMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);

private:
    static INT_PTR CALLBACK procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    int mTemplateId;
    HWND mHwnd = nullptr;
};

// Narrowing and widening as the desktop program does it: the low 8 bits of
// each UTF-16 unit, each byte widened unchanged.
std::string lowBytes(const std::wstring& text);
std::wstring widened(const std::string& text);

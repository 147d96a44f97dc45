#pragma once

#include <windows.h>
#include <objidl.h>

#include <string>

// An owner-drawn static that shows an image file (any format GDI+ decodes)
// stretched over its client rectangle. The file's bytes are kept in memory;
// a GDI+ session lives as long as the control.
class CPictureCtrl {
public:
    CPictureCtrl();
    ~CPictureCtrl();
    CPictureCtrl(const CPictureCtrl&) = delete;
    CPictureCtrl& operator=(const CPictureCtrl&) = delete;

    bool create(HWND parent, const RECT& rect, int id);
    HWND hwnd() const { return mHwnd; }
    // False (and the thread's last error set) when the file cannot be read;
    // the control then draws nothing.
    bool load(const std::wstring& path);
    // WM_DRAWITEM for this control.
    void draw(const DRAWITEMSTRUCT& item) const;

private:
    void release();

    HWND mHwnd = nullptr;
    IStream* mStream = nullptr;
    bool mLoaded = false;
    ULONG_PTR mGdiplusToken = 0;
};

#include "PictureCtrl.h"

#include <gdiplus.h>

#include <cstdio>

CPictureCtrl::CPictureCtrl() {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&mGdiplusToken, &input, nullptr);
}

CPictureCtrl::~CPictureCtrl() {
    release();
    Gdiplus::GdiplusShutdown(mGdiplusToken);
}

bool CPictureCtrl::create(HWND parent, const RECT& rect, int id) {
    mHwnd = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_OWNERDRAW, rect.left,
                            rect.top, rect.right - rect.left, rect.bottom - rect.top, parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                            GetModuleHandleW(nullptr), nullptr);
    return mHwnd != nullptr;
}

void CPictureCtrl::release() {
    if (mStream) {
        mStream->Release();
        mStream = nullptr;
    }
    mLoaded = false;
}

bool CPictureCtrl::load(const std::wstring& path) {
    release();
    if (CreateStreamOnHGlobal(nullptr, TRUE, &mStream) != S_OK) {
        mStream = nullptr;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) {
        release();
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    char chunk[1024];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        ULONG written = 0;
        if (mStream->Write(chunk, static_cast<ULONG>(got), &written) != S_OK || written != got) {
            std::fclose(file);
            release();
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
    }
    std::fclose(file);
    mLoaded = true;
    if (mHwnd) {
        InvalidateRect(mHwnd, nullptr, TRUE);
        UpdateWindow(mHwnd);
    }
    return true;
}

void CPictureCtrl::draw(const DRAWITEMSTRUCT& item) const {
    if (!mLoaded || !mStream) {
        return;
    }
    const LARGE_INTEGER start{};
    mStream->Seek(start, STREAM_SEEK_SET, nullptr);
    Gdiplus::Image image(mStream);
    if (image.GetLastStatus() != Gdiplus::Ok) {
        return;
    }
    Gdiplus::Graphics graphics(item.hDC);
    const RECT& r = item.rcItem;
    graphics.DrawImage(&image, static_cast<INT>(r.left), static_cast<INT>(r.top),
                       static_cast<INT>(r.right - r.left), static_cast<INT>(r.bottom - r.top));
}

#include "DialogScroller.h"

#include "DialogRules.h"

void CDialogScroller::setDisplaySize(int width, int height) {
    mDisplayWidth = width;
    mDisplayHeight = height;
}

void CDialogScroller::scroll(int bar, int request) {
    const bool horizontal = bar == SB_HORZ;
    int& position = horizontal ? mHScrollPos : mVScrollPos;
    const int page = horizontal ? mPageWidth : mPageHeight;
    const int display = horizontal ? mDisplayWidth : mDisplayHeight;
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_TRACKPOS;
    GetScrollInfo(mOwner, bar, &info);
    const int target = scrollTarget(request, position, page, display, info.nTrackPos);
    if (target == position) {
        return;
    }
    const int change = target - position;
    position = target;
    SetScrollPos(mOwner, bar, position, TRUE);
    ScrollWindow(mOwner, horizontal ? -change : 0, horizontal ? 0 : -change, nullptr, nullptr);
}

void CDialogScroller::onHScroll(int request) {
    scroll(SB_HORZ, request);
}

void CDialogScroller::onVScroll(int request) {
    scroll(SB_VERT, request);
}

bool CDialogScroller::onMouseWheel(int delta) {
    int low = 0;
    int high = 0;
    GetScrollRange(mOwner, SB_VERT, &low, &high);
    UINT lines = 3;
    SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
    const WheelScroll wheel =
        wheelScroll(delta, lines == WHEEL_PAGESCROLL ? -1 : static_cast<int>(lines), low == high);
    if (!wheel.handled) {
        return false;
    }
    if (wheel.wholePage) {
        onVScroll(wheel.up ? SB_PAGEUP : SB_PAGEDOWN);
        return true;
    }
    for (int i = 0; i < wheel.lines; ++i) {
        onVScroll(wheel.up ? SB_LINEUP : SB_LINEDOWN);
    }
    return true;
}

void CDialogScroller::updateScrollInfo() {
    if (!mOwner) {
        return;
    }
    RECT client{};
    GetClientRect(mOwner, &client);
    RECT window{};
    GetWindowRect(mOwner, &window);
    int width = client.right;
    int height = client.bottom;
    // The client size without scroll bars: add back a bar the window shows.
    const LONG style = GetWindowLongW(mOwner, GWL_STYLE);
    if (style & WS_VSCROLL) {
        width += GetSystemMetrics(SM_CXVSCROLL);
    }
    if (style & WS_HSCROLL) {
        height += GetSystemMetrics(SM_CYHSCROLL);
    }

    const int oldH = GetScrollPos(mOwner, SB_HORZ);
    const int oldV = GetScrollPos(mOwner, SB_VERT);
    const ScrollAxis horizontal = resizedAxis(width, mDisplayWidth, mPageWidth, mHScrollPos);
    const ScrollAxis vertical = resizedAxis(height, mDisplayHeight, mPageHeight, mVScrollPos);
    mPageWidth = horizontal.page;
    mHScrollPos = horizontal.position;
    mPageHeight = vertical.page;
    mVScrollPos = vertical.position;

    const auto write = [&](int bar, const ScrollAxis& axis) {
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        // Shown disabled rather than hidden when the content fits.
        info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
        info.nMin = 0;
        info.nMax = axis.rangeMax;
        info.nPage = static_cast<UINT>(axis.page);
        info.nPos = axis.position;
        SetScrollInfo(mOwner, bar, &info, TRUE);
    };
    write(SB_HORZ, horizontal);
    write(SB_VERT, vertical);
    ScrollWindow(mOwner, oldH - mHScrollPos, oldV - mVScrollPos, nullptr, nullptr);
}

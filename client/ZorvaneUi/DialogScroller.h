#pragma once

#include <windows.h>

// Scrolls a dialog's content over a display larger than its client area;
// the arithmetic is in DialogRules.
class CDialogScroller {
public:
    void attach(HWND owner) { mOwner = owner; }
    void setDisplaySize(int width, int height);

    void onHScroll(int request);
    void onVScroll(int request);
    // Handled (true) unless the vertical range is empty.
    bool onMouseWheel(int delta);
    // After a resize and at the end of opening.
    void updateScrollInfo();

private:
    void scroll(int bar, int request);

    HWND mOwner = nullptr;
    int mPageWidth = 0;
    int mPageHeight = 0;
    int mDisplayWidth = 0;
    int mDisplayHeight = 0;
    int mHScrollPos = 0;
    int mVScrollPos = 0;
};

#include "WinUI.h"

#include "ui/UiWire.h"

WinUI* WinUI::instance() {
    return PlatformInstance<WinUI>::get([] { return new WinUI(); });
}

WinUI::WinUI(String pipeName)
    : UiChannel(std::make_unique<WinPipe>(std::move(pipeName), kUiPipeTimeoutMs)) {}

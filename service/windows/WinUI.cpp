#include "WinUI.h"

#include "ui/UiWire.h"

WinUI* WinUI::instance() {
    static WinUI* ui = [] {
        auto* created = new WinUI();
        registerInstance(created);
        return created;
    }();
    return ui;
}

WinUI::WinUI(String pipeName)
    : UiChannel(std::make_unique<WinPipe>(std::move(pipeName), kUiPipeTimeoutMs)) {}

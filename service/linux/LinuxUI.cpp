#include "LinuxUI.h"

#include "LinuxPaths.h"
#include "ui/UiWire.h"

LinuxUI* LinuxUI::instance() {
    static LinuxUI* ui = [] {
        auto* created = new LinuxUI();
        registerInstance(created);
        return created;
    }();
    return ui;
}

String LinuxUI::defaultSocketPath() {
    return String(LinuxPaths::runDir() + "zorvane_pipe");
}

LinuxUI::LinuxUI(String socketPath)
    : UiChannel(makePipeServer(socketPath, kUiPipeTimeoutMs)), mSocketPath(std::move(socketPath)) {}

#include "LinuxUI.h"

#include "LinuxPaths.h"
#include "ui/UiWire.h"

LinuxUI* LinuxUI::instance() {
    return PlatformInstance<LinuxUI>::get([] { return new LinuxUI(); });
}

String LinuxUI::defaultSocketPath() {
    return String(LinuxPaths::runDir() + "zorvane_pipe");
}

LinuxUI::LinuxUI(String socketPath)
    : UiChannel(makePipeServer(socketPath, kUiPipeTimeoutMs)), mSocketPath(std::move(socketPath)) {}

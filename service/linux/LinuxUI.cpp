#include "LinuxUI.h"

#include <chrono>
#include <thread>

#include "LinuxPaths.h"
#include "base/Logger.h"

namespace {

constexpr std::chrono::milliseconds kRecreateDelay(1000);

}  // namespace

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

LinuxUI::LinuxUI(String socketPath) : mServer(std::move(socketPath)) {
    createPipe();
}

void LinuxUI::createPipe() {
    if (!mServer.listen()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "WinUI::createPipe failed - %d\n",
                                mServer.lastError());
    }
}

int LinuxUI::connectToUI() {
    Logger* log = Logger::instance();
    int result = 0;
    if (!mServer.listening()) {
        log->out(LOGLEVEL_ERROR, "WinUI::connectToUI() invalid handle");
        std::this_thread::sleep_for(kRecreateDelay);
        createPipe();
    } else {
        result = mServer.accept() ? 1 : 0;
    }
    log->out(LOGLEVEL_ERROR, "WinUI::connectToUI() failed %d %d\n", mServer.lastError(), result);
    return result;
}

size_t LinuxUI::readSome(char* buffer, size_t length) {
    return mServer.receive(buffer, length);
}

bool LinuxUI::writeBytes(const char* data, size_t length) {
    return mServer.sendAll(data, length);
}

#include "WinNotifier.h"

WinNotifier* WinNotifier::mpNotifier = nullptr;

WinNotifier* WinNotifier::instance() {
    if (!mpNotifier) {
        mpNotifier = new WinNotifier();
        registerInstance(mpNotifier);
    }
    return mpNotifier;
}

void WinNotifier::cleanUp() {
    if (Notifier::instance() == mpNotifier) {
        registerInstance(nullptr);
    }
    delete mpNotifier;
    mpNotifier = nullptr;
}

WinNotifier::WinNotifier(String commandPipeName)
    : PipeNotifier(UserNotifierChannel::create(),
                   std::make_unique<WinPipe>(std::move(commandPipeName), kCommandPipeTimeoutMs)) {}

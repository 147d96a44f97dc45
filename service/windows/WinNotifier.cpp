#include "WinNotifier.h"

WinNotifier* WinNotifier::instance() {
    return PlatformInstance<WinNotifier>::get([] { return new WinNotifier(); });
}

void WinNotifier::cleanUp() {
    PlatformInstance<WinNotifier>::reset();
}

WinNotifier::WinNotifier(String commandPipeName)
    : PipeNotifier(UserNotifierChannel::create(),
                   std::make_unique<WinPipe>(std::move(commandPipeName), kCommandPipeTimeoutMs)) {}

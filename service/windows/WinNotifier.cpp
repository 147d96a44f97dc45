#include "WinNotifier.h"

WinNotifier* WinNotifier::instance() {
    return PlatformInstance<WinNotifier>::get([] { return new WinNotifier(); });
}

void WinNotifier::cleanUp() {
    PlatformInstance<WinNotifier>::reset();
}

WinNotifier::WinNotifier(String commandPipeName, std::unique_ptr<UserNotifierChannel> channel)
    : PipeNotifier(std::move(channel),
                   std::make_unique<WinPipe>(std::move(commandPipeName), kCommandPipeTimeoutMs)) {}

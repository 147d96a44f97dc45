#include <windows.h>

#include <atomic>
#include <string>

#include "NotifierTestSupport.h"
#include "WinNotifier.h"
#include "WinPipeClient.h"

CommandEndpoint::CommandEndpoint(bool fixedName) {
    static std::atomic<unsigned> counter{0};
    mName = fixedName ? std::string(WinNotifier::kCommandPipeName)
                      : "\\\\.\\pipe\\zorvane_notifier_test_" +
                            std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++);
}

CommandEndpoint::~CommandEndpoint() = default;

std::unique_ptr<PipeNotifier> CommandEndpoint::makeNotifier() const {
    return std::make_unique<WinNotifier>(String(mName));
}

std::unique_ptr<PipeClient> CommandEndpoint::connect() const {
    // One pipe instance: a client may find it busy until the server frees it.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto client = std::make_unique<WinPipeClient>(String(mName));
        if (client->open()) {
            return client;
        }
        Sleep(10);
    }
    return nullptr;
}

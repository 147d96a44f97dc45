#include <chrono>
#include <thread>

#include "LinuxNotifier.h"
#include "LinuxPipeClient.h"
#include "NotifierTestSupport.h"

CommandEndpoint::CommandEndpoint(bool /*fixedName*/) : mRunDir(std::make_unique<TempDir>()) {
    setenvForTest("ZORVANE_RUN_DIR", mRunDir->path().string().c_str());
    mName = mRunDir->file("zorvane_notifier_cmd_pipe");
}

CommandEndpoint::~CommandEndpoint() {
    setenvForTest("ZORVANE_RUN_DIR", nullptr);
}

std::unique_ptr<PipeNotifier> CommandEndpoint::makeNotifier() const {
    return std::make_unique<LinuxNotifier>(String(mName));
}

std::unique_ptr<PipeClient> CommandEndpoint::connect() const {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto client = std::make_unique<LinuxPipeClient>(String(mName));
        if (client->open()) {
            return client;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

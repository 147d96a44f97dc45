#include <windows.h>

#include <atomic>
#include <string>

#include "NotifierTestSupport.h"
#include "WinNotifier.h"
#include "WinPipeClient.h"
#include "WinPipeSecurity.h"

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

// A pipe of one instance, connected to a client of its own.
namespace {

struct Busy {
    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;
    ~Busy() {
        if (client != INVALID_HANDLE_VALUE) {
            CloseHandle(client);
        }
        if (server != INVALID_HANDLE_VALUE) {
            CloseHandle(server);
        }
    }
};

}  // namespace

std::shared_ptr<void> CommandEndpoint::occupy() const {
    auto busy = std::make_shared<Busy>();
    busy->server = CreateNamedPipeA(mName.c_str(), PIPE_ACCESS_DUPLEX,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 512, 512,
                                    0, nullptr);
    if (busy->server == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    busy->client = CreateFileA(mName.c_str(), kPipeClientAccess, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (busy->client == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return busy;
}

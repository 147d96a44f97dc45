#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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

// A listener with a backlog of one that never accepts, the backlog filled.
namespace {

struct Busy {
    int server = -1;
    int client = -1;
    ~Busy() {
        ::close(client);
        ::close(server);
    }
};

}  // namespace

std::shared_ptr<void> CommandEndpoint::occupy() const {
    auto busy = std::make_shared<Busy>();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, mName.c_str(), sizeof address.sun_path - 1);
    busy->server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    busy->client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(busy->server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(busy->server, 0) != 0 ||
        ::connect(busy->client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return nullptr;
    }
    return busy;
}

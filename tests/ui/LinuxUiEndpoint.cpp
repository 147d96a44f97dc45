#include "LinuxPipeClient.h"
#include "LinuxUI.h"
#include "UiTestSupport.h"

UiEndpoint::UiEndpoint() : mDir(std::make_unique<TempDir>()) {
    // A folder that does not exist yet: the channel creates it.
    mName = mDir->file("run/zorvane_pipe");
}

std::unique_ptr<UiChannel> UiEndpoint::makeServer() const {
    return std::make_unique<LinuxUI>(String(mName));
}

std::unique_ptr<PipeClient> UiEndpoint::makeClient() const {
    return std::make_unique<LinuxPipeClient>(String(mName));
}

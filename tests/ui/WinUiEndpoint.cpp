#include <windows.h>

#include <atomic>
#include <string>

#include "UiTestSupport.h"
#include "WinPipeClient.h"
#include "WinUI.h"

UiEndpoint::UiEndpoint() {
    static std::atomic<unsigned> counter{0};
    mName = "\\\\.\\pipe\\zorvane_test_" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(counter++);
}

UiEndpoint::UiEndpoint(std::string name) : mName(std::move(name)) {}

std::unique_ptr<UiChannel> UiEndpoint::makeServer() const {
    return std::make_unique<WinUI>(String(mName));
}

std::unique_ptr<PipeClient> UiEndpoint::makeClient() const {
    return std::make_unique<WinPipeClient>(String(mName));
}

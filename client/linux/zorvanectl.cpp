#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "CService.h"
#include "LinuxPipeClient.h"
#include "ZorvaneCtl.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    CtlStreams io{std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1};
    LinuxPipeClient::Timeouts timeouts;
    // One bound for every step, in milliseconds, for slow machines and scripts.
    if (const char* value = std::getenv("ZORVANE_CTL_TIMEOUT_MS")) {
        const long ms = std::strtol(value, nullptr, 10);
        if (ms > 0) {
            timeouts.connectMs = timeouts.sendMs = timeouts.answerMs = static_cast<uint32_t>(ms);
        }
    }
    CService service(std::make_unique<LinuxPipeClient>(String(), timeouts));
    return runZorvaneCtl(args, io, service);
}

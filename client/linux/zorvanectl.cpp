#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "CService.h"
#include "ZorvaneCtl.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    CtlStreams io{std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) == 1};
    return runZorvaneCtl(args, io, *CService::instance());
}

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "NotifierProgram.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
#ifdef _WIN32
    const bool terminal = _isatty(_fileno(stdout)) != 0;
#else
    const bool terminal = isatty(STDOUT_FILENO) != 0;
#endif
    return runNotifierProgram(args, NotifierStreams{std::cout, std::cerr, terminal});
}

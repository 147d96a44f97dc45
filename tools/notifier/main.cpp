#include <iostream>
#include <string>
#include <vector>

#include "NotifierProgram.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return runNotifierProgram(args, NotifierStreams{std::cout, std::cerr});
}

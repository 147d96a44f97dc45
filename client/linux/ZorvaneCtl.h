#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "CService.h"

// Exit codes of zorvanectl.
enum E_CtlExit {
    CTL_EXIT_OK = 0,
    CTL_EXIT_REFUSED = 1,      // the service answered with a failure
    CTL_EXIT_USAGE = 2,        // bad arguments or unreadable input
    CTL_EXIT_UNREACHABLE = 3,  // no answer from the service
};

struct CtlStreams {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool terminal;  // `in` is the terminal: passwords are read with echo off
};

// The command-line front end: runs one subcommand (the arguments after the
// program name) over `service` and gives the exit code.
int runZorvaneCtl(const std::vector<std::string>& args, CtlStreams io, CService& service);

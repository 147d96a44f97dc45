#pragma once

#include <string>
#include <vector>

class UiEndpoint;

// One run of the Linux front end (zorvanectl) on a connection of its own.
struct CtlCase {
    std::vector<std::string> args;
    std::string input;
    int exitCode;
    std::string out;        // expected in standard output
    std::string err;        // expected in standard error
    bool terminal = false;  // standard input is the terminal
};

// Runs the case against the channel at `endpoint` and checks its exit code
// and outputs; returns the standard output.
std::string runCtlCase(const CtlCase& c, const UiEndpoint& endpoint);

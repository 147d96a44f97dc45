#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// Exit codes of zorvane_notifier.
enum E_NotifierExit {
    NOTIFIER_EXIT_OK = 0,
    NOTIFIER_EXIT_FAILED = 1,       // the service reported a failure, or serving failed
    NOTIFIER_EXIT_USAGE = 2,        // bad arguments
    NOTIFIER_EXIT_UNREACHABLE = 3,  // no answer from the service
};

struct NotifierStreams {
    std::ostream& out;
    std::ostream& err;
    // `out` is a terminal: download progress is one bar redrawn in place
    // rather than a line per answer.
    bool terminal = false;
};

// The progress bar shown on a terminal for `kilobytes` of `total`.
std::string progressBar(uint32_t kilobytes, uint32_t total);

// The stand-in notifier program: serves this user's notification channel or
// sends one request on the service's command pipe (the arguments after the
// program name), and gives the exit code.
int runNotifierProgram(const std::vector<std::string>& args, NotifierStreams io);

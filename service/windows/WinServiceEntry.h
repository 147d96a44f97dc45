#pragma once

// The process entry both service programs share on Windows: the console
// installer (-i, -u), the usage text, and the service under the SCM with its
// start checkpoints, control handler and stop. What differs between the
// programs is given here.
struct WinServiceProgram {
    const char* name;         // the SCM name, also the display name
    const char* description;  // set when installed
    // Runs on the service thread. When it returns the service stays
    // registered as running until the SCM stops it.
    void (*serviceThread)();
    // Pauses (true) or continues the program's loop between two steps;
    // false when it already was so.
    bool (*setPaused)(bool pause);
};

// Runs `program` as `main` would with `argc` and `argv`; returns the exit
// code or ends the process.
int runWinServiceProgram(int argc, char** argv, const WinServiceProgram& program);

// Ends the process at once: static destructors would run under threads that
// still use what they destroy.
[[noreturn]] void endServiceProcess(int code);

#pragma once

// The process entry both service programs share on Linux: the console
// installer of a systemd unit (-i, -u), the usage text, and the foreground
// daemon that a service manager runs. Signals are the service controls:
// SIGTERM or SIGINT stop, SIGTSTP pauses the program's loop, SIGCONT
// continues it. What differs between the programs is given here.
struct LinuxServiceProgram {
    const char* name;         // the service's name; its unit is named after it
    const char* description;  // the unit's description
    const char* programName;  // for messages
    // Runs on the service thread. When it returns the daemon stays up until
    // it is stopped.
    void (*serviceThread)();
    // Pauses (true) or continues the program's loop between two steps.
    bool (*setPaused)(bool pause);
    // Runs just before the process ends; may be null.
    void (*beforeExit)();
};

// Runs `program` as `main` would with `argc` and `argv` (the step option
// already taken out); returns the exit code or ends the process.
int runLinuxServiceProgram(int argc, char** argv, const LinuxServiceProgram& program);

// Called by the service thread once the logger exists: from then on a stop
// is logged (before, logging would make a logger without a file).
void markServiceStarted();

// Ends the process at once: static destructors would run under threads that
// still use what they destroy.
[[noreturn]] void endServiceProcess(int code);

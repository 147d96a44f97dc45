#pragma once

#include <windows.h>

#include <string>

// The Windows path of a file of this machine (Wine maps drive Z: to /).
std::string windowsPath(const std::string& unixPath);

struct ProgramResult {
    DWORD exitCode = 0;
    std::string output;  // standard output and error, line ends as "\n"
};

// Runs `commandLine` to its end with its output captured; the full exit
// code, which a shell under Wine would cut to 8 bits.
ProgramResult runProgram(const std::string& commandLine);

// Closes a service-manager handle when it goes.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : mHandle(handle) {}
    ~ScHandle() {
        if (mHandle) {
            CloseServiceHandle(mHandle);
        }
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return mHandle; }
    explicit operator bool() const { return mHandle != nullptr; }

private:
    SC_HANDLE mHandle;
};

// Opens service `name` with all access; an empty handle (and the error in
// `error`) when the SCM does not know it.
ScHandle openService(const char* name, DWORD* error = nullptr);

// The state service `name` reports, 0 when it cannot be opened or queried.
DWORD serviceState(const char* name);
// Polls until the service reports `state`; false after 15 seconds.
bool waitForState(const char* name, DWORD state);
// Polls until the SCM no longer knows the service; false after 15 seconds.
bool waitUntilGone(const char* name);
// Stops and deletes the service if it exists and waits until it is gone.
void removeService(const char* name);

// How the SCM has a service registered.
struct Registration {
    DWORD state = 0;  // as serviceState
    std::string binaryPath;
    DWORD startType = 0;
    std::string description;
};
// Empty fields for what cannot be read.
Registration registrationOf(const char* name);

// Everything the service's log files (current and rolled) hold.
std::string readServiceLog();

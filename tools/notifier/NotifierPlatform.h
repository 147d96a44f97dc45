#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "base/String.h"

// What the stand-in notifier program needs from the system, one
// implementation per platform.
namespace NotifierPlatform {

// The SID text of the user running the program; empty (and `error` set)
// when it cannot be found.
String ownSid(int& error);

// The client end of the service's notifier command pipe.
class CommandPipeClient {
public:
    virtual ~CommandPipeClient() = default;
    // Writes all bytes, waiting at most `timeoutMs` for the pipe to take
    // them; false on failure or time-out (error kTimedOut).
    virtual bool write(const char* data, uint32_t length, uint32_t timeoutMs, int& error) = 0;
    // Reads exactly `length` bytes, waiting at most `timeoutMs` for them;
    // false on failure or time-out (error kTimedOut).
    virtual bool read(char* data, uint32_t length, uint32_t timeoutMs, int& error) = 0;
};

// The error code of a connect, write or read whose time ran out.
extern const int kTimedOut;

// Where the command pipe is, for messages.
String commandPipeName();
// Connects to the command pipe, waiting at most `timeoutMs` while another
// program is being served; null (and `error`, kTimedOut when the time ran
// out) when it cannot.
std::unique_ptr<CommandPipeClient> openCommandPipe(uint32_t timeoutMs, int& error);

// Shows a notice through the desktop's notification service when one is
// running; never waits for it. False when there is none.
bool showOnDesktop(const String& text);

// Calls `stop` (once, on another thread) when the user interrupts the program
// or the system asks it to end.
void onStopRequest(std::function<void()> stop);

// The system's text for an error code.
String errorText(int error);

}  // namespace NotifierPlatform

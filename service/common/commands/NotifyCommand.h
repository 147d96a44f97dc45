#pragma once

#include <cstdint>
#include <vector>

#include "commands/Command.h"
#include "base/String.h"

// A notice for the desktop sessions of the users mapped to one child (child
// 0: everybody). Built from a record of `length` bytes: code (4 bytes), child
// id (4 bytes), then the code's data — a NUL-terminated text for codes 0-3
// and 10 (cut at the record's end when the NUL is missing), every remaining
// byte for codes 5 and 6. Nothing is read past the record.
class NotifyCommand : public Command {
public:
    // The fixed part every record has: code and child id.
    static constexpr int kHeaderLength = 8;

    NotifyCommand(const char* buffer, int length);

    std::unique_ptr<CommandResponse> execute() override;

    // The message the notifier program receives; empty when the code is
    // never delivered.
    std::vector<char> message() const;

    int getNotifyCode() const { return mNotifyCmd; }
    uint32_t getChildId() const { return mChildId; }

    // The factory's builder (the record must hold at least the header).
    static std::unique_ptr<Command> build(const char* buffer, int length);

private:
    int mNotifyCmd = 0;
    String mCmdData;                 // codes 0-3 and 10
    std::vector<char> mpCmdData;     // codes 5 and 6
    uint32_t mChildId = 0;
};

// The driver's notice that a redirected connection belongs to a process
// other than the expected one: tells every user which process it was.
class NotifyRedirectProcessCommand : public Command {
public:
    static constexpr int kMinLength = 12;  // id, value, process id

    NotifyRedirectProcessCommand(const char* buffer, int length);

    std::unique_ptr<CommandResponse> execute() override;

    // "name \"<path>\"", or PID - "<pid>" when the process cannot be named.
    static String GetNameForPID(uint32_t pid);

    static std::unique_ptr<Command> build(const char* buffer, int length);

private:
    uint32_t mPid = 0;
};

#pragma once

#include <memory>

#include "commands/Command.h"
#include "base/String.h"

// Requests that ask about the filter and the account, and the parent's
// password check. None of them changes the settings or the filter.

// 257 (enable) and 258 (disable): "user,password" after the id, checked with
// the cloud. 1 when the account's password is right; the filter state is
// left as it is either way.
class EnableCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    EnableCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    String getUser() const;
    String getPassword() const;
    // 1 for an enable request, 0 for a disable request.
    bool isEnable() const;

    static std::unique_ptr<Command> build(const char* buffer, int length);
};

// 259: the filter's module status (its enabled flag); 0 when the filter
// does not answer.
class StatusCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    StatusCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    static std::unique_ptr<Command> build(const char* buffer, int length);
};

// 266: the status of the last sign-in.
class AuthStatusCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    AuthStatusCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    static std::unique_ptr<Command> build(const char* buffer, int length);
};

// 773, from a notifier program: the service version. Argument 3 is the
// version text with its NUL, argument 2 that block's length, as the notifier
// channel writes them.
class GetVersionCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    GetVersionCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    static std::unique_ptr<Command> build(const char* buffer, int length);
};

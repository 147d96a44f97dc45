#pragma once

#include <memory>

#include "commands/Command.h"
#include "base/String.h"

// The desktop program's sign-in (id 260): the body after the id is
// "user,password" and a NUL. Signs the account in with the cloud; on success
// filtering is switched on, the settings saved and the filter configured.
// The answer is 1, or the sign-in's result code.
class AuthCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    AuthCommand(const char* buffer, int length);

    std::unique_ptr<CommandResponse> execute() override;

    // The filter configured for the signed-in account, without the start-up
    // checks' log lines; 1 when the filter took it.
    static int initializeDriver();

    static std::unique_ptr<Command> build(const char* buffer, int length);

    String getUser() const;
    String getPassword() const;
};

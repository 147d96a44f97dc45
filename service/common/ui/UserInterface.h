#pragma once

#include <memory>

#include "base/Registered.h"
#include "commands/Command.h"

// The service's side of the desktop program's channel. The platform
// subclass's instance() creates the channel and registers it here.
class UserInterface : public Registered<UserInterface> {
public:

    UserInterface(const UserInterface&) = delete;
    UserInterface& operator=(const UserInterface&) = delete;

    virtual int sendCommand(Command* command) = 0;
    // Blocks until a buffer arrives; null when nothing usable came.
    virtual std::unique_ptr<Command> waitForCommand() = 0;
    // Writes the response and releases it.
    virtual int sendCommandResponse(std::unique_ptr<CommandResponse>& response) = 0;

    // Whether a sign-in succeeded on the client connection being served. A
    // channel that cannot tell its connections apart never says yes.
    virtual bool isSignedIn() const { return false; }
    // Records a successful sign-in for that connection; the channel forgets
    // it when the connection ends.
    virtual void markSignedIn() {}

    virtual ~UserInterface() = default;

protected:
    UserInterface() = default;

private:
};

// A command addressed to the desktop program: executing it sends it.
class UICommand : public Command {
public:
    std::unique_ptr<CommandResponse> execute() override;
    int getCommandBuffer(const char** buffer) override;
};

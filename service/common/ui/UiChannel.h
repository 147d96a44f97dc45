#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "commands/Command.h"
#include "pipe/PipeChannel.h"
#include "ui/PasswordGuard.h"
#include "ui/UserInterface.h"

enum UIStatus { UI_ERROR = 0, UI_SUCCESS = 1 };

// The desktop program's channel: request frames in, answers out. Clients
// are read side by side (PipeChannel); their requests are executed one at a
// time on the desktop-program reader thread, in the order they arrived. The
// platform subclass (WinUI, LinuxUI) names the pipe and brings its server;
// framing, answer shapes, the channel's ids and the password back-off live
// here once.
class UiChannel : public UserInterface {
public:
    using CommandBuilder = std::function<std::unique_ptr<Command>(const char* buffer, int length)>;
    using IdFilter = std::function<bool(uint32_t id)>;

    // Waits for the next request of any client and builds its command (null
    // for an id that builds none).
    std::unique_ptr<Command> waitForCommand() override;
    // Queues the answer the response's id calls for to the client that sent
    // the request, and releases the response. Non-zero when it was queued; 0
    // when there is nothing to write or the client has gone.
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override;
    // Writes the command's own bytes as they are to the current client; 0 if
    // there is none.
    int sendCommand(Command* command) override;

    // Who turns a body into a command; CommandFactory::create unless a test
    // brings its own table.
    void setCommandBuilder(CommandBuilder builder) { mBuilder = std::move(builder); }
    // Which ids the channel takes; the desktop program's unless a test
    // brings its own. Others are dropped (logged once per connection).
    void setIdFilter(IdFilter filter) { mIdFilter = std::move(filter); }

    UIStatus status() const { return mStatus; }

    bool isSignedIn() const override;
    void markSignedIn() override;

    // Creates the listening end; a failure is logged (the channel retries).
    void createPipe() { mPipe.create(); }

protected:
    // Takes the platform's pipe server and creates it at once.
    explicit UiChannel(std::unique_ptr<PipeServer> server,
                       PipeChannelLimits limits = PipeChannelLimits());

    PipeServer& pipeServer() { return mPipe.server(); }

private:
    // Runs on the client's thread before its request is queued.
    bool admit(PipeSession& session, const std::vector<char>& body);

    PipeChannel mPipe;
    CommandBuilder mBuilder;
    IdFilter mIdFilter;
    PasswordGuard mPasswords;
    UIStatus mStatus = UI_SUCCESS;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "commands/Command.h"
#include "pipe/PipeChannel.h"
#include "ui/UserInterface.h"

enum UIStatus { UI_ERROR = 0, UI_SUCCESS = 1 };

// The desktop program's channel over a pipe server that serves one client at
// a time: request frames in, answers out. The platform subclass (WinUI,
// LinuxUI) names the pipe and brings its server; connecting, framing and
// answer shapes live here once.
// Only the desktop-program reader thread may use it.
class UiChannel : public UserInterface {
public:
    using CommandBuilder = std::function<std::unique_ptr<Command>(const char* buffer, int length)>;

    // Repeats readUI until a body arrives, then builds its command (null for
    // an id that builds none).
    std::unique_ptr<Command> waitForCommand() override;
    // Writes the answer the response's id calls for and releases the response.
    // Non-zero when the (last) write succeeded; 0 when nothing was written.
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override;
    // Writes the command's own bytes as they are; 0 if there is no channel.
    int sendCommand(Command* command) override;

    // Connects a client if none is, then reads one request body. 0 (and an
    // empty body) when nothing usable came: no client, a failed read, N = 0,
    // or N above kUiMaxBodyLength (that client is dropped).
    uint32_t readUI(std::vector<char>& body);

    // Who turns a body into a command; CommandFactory::create unless a test
    // brings its own table.
    void setCommandBuilder(CommandBuilder builder) { mBuilder = std::move(builder); }

    UIStatus status() const { return mStatus; }

    bool isSignedIn() const override { return mSignedIn; }
    void markSignedIn() override { mSignedIn = true; }

    // 1 when a client is connected, waiting for one if none is. Without a
    // listening end it waits 1000 ms, tries to create it again and gives 0.
    int connectToUI();
    // Creates the listening end; a failure is logged (connectToUI retries).
    void createPipe() { mPipe.create(); }

protected:
    // Takes the platform's pipe server and creates it at once.
    explicit UiChannel(std::unique_ptr<PipeServer> server);

    PipeServer& pipeServer() { return mPipe.server(); }

private:
    // The client's connection has ended (or is about to): its sign-in goes
    // with it, so the next client starts signed out.
    void connectionEnded() { mSignedIn = false; }

    PipeChannel mPipe;
    CommandBuilder mBuilder;
    UIStatus mStatus = UI_SUCCESS;
    bool mSignedIn = false;  // for the connected client only
};

#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "notifier/Notifier.h"
#include "pipe/PipeChannel.h"

// A Notifier whose command channel is a pipe server that serves one notifier
// program at a time (WinPipe, LinuxPipe). Connecting, framing and answers
// live here once; the platform class (WinNotifier, LinuxNotifier) names the
// pipe and brings its server. Only the
// notifier reader thread may use the command channel.
class PipeNotifier : public Notifier {
public:
    using CommandBuilder = std::function<std::unique_ptr<Command>(const char* buffer, int length)>;

    // Reads request frames until one arrives (a failed read waits for the
    // next program); null for a frame of length 0 or an id that builds no
    // command.
    std::unique_ptr<Command> waitForCommand() override;
    // Writes the answer frame the response's id calls for to the program that
    // is connected, and releases the response. 1 when a frame was written.
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override;

    // Who turns a request into a command; CommandFactory::create unless a
    // test brings its own.
    void setCommandBuilder(CommandBuilder builder) { mBuilder = std::move(builder); }

    // Requests are a command id and a few bytes; a larger frame is not
    // allocated and its sender is dropped.
    static constexpr uint32_t kMaxRequestLength = kMaxRequestFrameLength;

protected:
    // Takes the platform's command pipe server and creates it at once.
    PipeNotifier(std::unique_ptr<UserNotifierChannel> channel,
                 std::unique_ptr<PipeServer> commandServer);

    PipeServer& commandServer() { return mCommandPipe.server(); }

private:
    PipeChannel mCommandPipe;  // the notifier reader thread's only
    CommandBuilder mBuilder;
};

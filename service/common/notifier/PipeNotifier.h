#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "notifier/Notifier.h"
#include "pipe/PipeChannel.h"

// A Notifier whose command channel is a pipe server (WinPipe, LinuxPipe)
// that reads its clients side by side and hands their requests to the
// notifier reader thread one at a time. Framing, the channel's ids and the
// answers live here once; the platform class (WinNotifier, LinuxNotifier)
// names the pipe and brings its server. Only the notifier reader thread may
// take requests and answer them.
class PipeNotifier : public Notifier {
public:
    using CommandBuilder = std::function<std::unique_ptr<Command>(const char* buffer, int length)>;

    // Waits for the next request of any program; null for an id that builds
    // no command.
    std::unique_ptr<Command> waitForCommand() override;
    // Queues the answer frame the response's id calls for to the program whose
    // request is being executed, and releases the response. 1 when a frame was
    // queued.
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override;

    // Who turns a request into a command; CommandFactory::create unless a
    // test brings its own.
    void setCommandBuilder(CommandBuilder builder) { mBuilder = std::move(builder); }
    // Which ids the channel takes; the notifier programs' unless a test
    // brings its own. Others are dropped (logged once per connection).
    void setIdFilter(std::function<bool(uint32_t)> filter) { mIdFilter = std::move(filter); }

    // Requests are a command id and a few bytes; a larger frame is not
    // allocated and its sender is dropped.
    static constexpr uint32_t kMaxRequestLength = kMaxRequestFrameLength;

protected:
    // Takes the platform's command pipe server and creates it at once.
    PipeNotifier(std::unique_ptr<UserNotifierChannel> channel,
                 std::unique_ptr<PipeServer> commandServer);

    PipeServer& commandServer() { return mCommandPipe.server(); }

private:
    PipeChannel mCommandPipe;
    CommandBuilder mBuilder;
    std::function<bool(uint32_t)> mIdFilter;
};

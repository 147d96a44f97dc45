#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "notifier/Notifier.h"

// A Notifier whose command channel is a pipe server that serves one notifier
// program at a time (WinPipe, LinuxPipe). Framing and answers live here once;
// the platform class (WinNotifier, LinuxNotifier) moves the bytes. Only the
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
    static constexpr uint32_t kMaxRequestLength = 64 * 1024;

protected:
    explicit PipeNotifier(std::unique_ptr<UserNotifierChannel> channel);

    // Waits for a program to connect unless one is; false when none came.
    virtual bool connectCommandClient() = 0;
    // Reads exactly `length` bytes from the connected program only: a frame
    // is never completed with the bytes of a program that came after it.
    virtual bool readCommandPipe(char* buffer, uint32_t length) = 0;
    // Writes all bytes to the connected program only: an answer must never
    // reach a program that connected after the request's sender went.
    virtual bool writeCommandPipe(const char* data, uint32_t length) = 0;
    // Ends the connected program's connection.
    virtual void dropCommandClient() = 0;
    // The system's error code of the last failed pipe operation.
    virtual int commandPipeError() const = 0;

private:
    CommandBuilder mBuilder;
};

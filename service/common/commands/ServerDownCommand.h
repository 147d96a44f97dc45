#pragma once

#include <cstdint>
#include <memory>

#include "commands/Command.h"

// The filter's report that neither filter server answers (read record 6):
// the two addresses and ports it used, at bytes 8, 12, 16 and 18. When they
// are not the servers the settings name, the filter is given the current
// ones; when they are, the servers really are down and every user is told.
// Driver records get no answer.
class ServerDownCommand : public Command {
public:
    static constexpr int kMinLength = 20;

    ServerDownCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    uint32_t getAddress() const { return mAddress; }
    uint32_t getAltAddress() const { return mAltAddress; }
    uint16_t getPort() const { return mPort; }
    uint16_t getAltPort() const { return mAltPort; }

    static std::unique_ptr<Command> build(const char* buffer, int length);

private:
    // IPv4 with the first octet in the most significant byte, as the
    // connection info resolves them.
    uint32_t mAddress = 0;
    uint32_t mAltAddress = 0;
    uint16_t mPort = 0;
    uint16_t mAltPort = 0;
};

#pragma once

#include <memory>

#include "commands/Command.h"

// 768 (is another version published?) and 769 (download it), from a
// notifier program. The download runs inside execute(), on the notifier
// reader thread, which also carries its progress answers.
class UpdateCommand : public Command {
public:
    static constexpr int kMinLength = 4;

    UpdateCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    static std::unique_ptr<Command> build(const char* buffer, int length);

private:
    uint32_t mCommand;
};

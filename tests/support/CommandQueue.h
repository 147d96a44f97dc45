#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "commands/Command.h"

// A command of a fixed id that answers, or has nothing to answer.
class FixedCommand : public Command {
public:
    FixedCommand(uint32_t id, bool answers) : mAnswers(answers) {
        setArgument(kArgCommandId, ArgumentBlock::fromUint32(id));
    }
    std::unique_ptr<CommandResponse> execute() override {
        return mAnswers ? newResponse() : nullptr;
    }

private:
    bool mAnswers;
};

// The inside of a scripted channel: the commands it hands out in order (null
// for a buffer that built nothing) and the ids of the answers sent back.
struct CommandQueue {
    std::deque<std::unique_ptr<Command>> commands;
    std::vector<uint32_t> answered;

    // The next command; null also once the queue is empty.
    std::unique_ptr<Command> next() {
        if (commands.empty()) {
            return nullptr;
        }
        std::unique_ptr<Command> command = std::move(commands.front());
        commands.pop_front();
        return command;
    }
    int answer(std::unique_ptr<CommandResponse>& response) {
        answered.push_back(response->getArgumentForIndex(Command::kArgCommandId)->asUint32());
        response.reset();
        return 1;
    }
};

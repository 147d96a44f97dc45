#include "commands/Command.h"

#include "zorvane_bytes.h"

const ArgumentBlock* CommandResponse::getArgumentForIndex(int index) const {
    auto found = mArgList.find(index);
    return found == mArgList.end() ? nullptr : &found->second;
}

void CommandResponse::setArgument(int index, ArgumentBlock block) {
    mArgList[index] = std::move(block);
}

Command::Command(const char* buffer) {
    setArgument(kArgCommandId, ArgumentBlock::fromUint32(LoadLe32(buffer)));
}

void Command::setArgument(int index, ArgumentBlock block) {
    mArgList[index] = std::move(block);
}

const ArgumentBlock* Command::getArgumentForIndex(int index) const {
    auto found = mArgList.find(index);
    return found == mArgList.end() ? nullptr : &found->second;
}

int Command::getCommandBuffer(const char** buffer) {
    if (buffer) {
        *buffer = nullptr;
    }
    return 0;
}

uint32_t Command::getCommandId() const {
    const ArgumentBlock* id = getArgumentForIndex(kArgCommandId);
    return id ? id->asUint32() : 0;
}

String Command::getArgumentText(int index) const {
    const ArgumentBlock* block = getArgumentForIndex(index);
    return block ? String(block->data(), static_cast<int>(block->size())) : String();
}

std::unique_ptr<CommandResponse> Command::newResponse() const {
    auto response = std::make_unique<CommandResponse>();
    response->setArgument(kArgCommandId, ArgumentBlock::fromUint32(getCommandId()));
    return response;
}

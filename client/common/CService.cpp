#include "CService.h"

#include <vector>

#include "zorvane_bytes.h"
#include "commands/Command.h"
#include "ui/UiWire.h"

CService* CService::instance() {
    static CService* service = new CService(makeUiPipeClient());
    return service;
}

CService::CService(std::unique_ptr<PipeClient> pipe) : mPipe(std::move(pipe)) {}

bool CService::send(const char* body, uint32_t length) {
    if (!mPipe->open()) {
        mConnected = false;
        return false;
    }
    char lengthBytes[kUiLengthBytes];
    StoreLe32(lengthBytes, length);
    mConnected = mPipe->write(lengthBytes, sizeof lengthBytes) && mPipe->write(body, length);
    return mConnected;
}

bool CService::readAll(char* buffer, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        uint32_t got = mPipe->read(buffer + done, length - done);
        if (got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

std::unique_ptr<CReply> CService::readReply(uint32_t commandId) {
    if (commandId < UI_READ_N_USERS_CMD || commandId > UI_READ_AUTH_STATUS_CMD ||
        commandId == UI_READ_GET_USER_INFO_CMD) {
        return nullptr;
    }
    char word[4];
    if (!readAll(word, sizeof word)) {
        return nullptr;
    }
    auto reply = std::make_unique<CReply>();
    if (!uiAnswerIsText(commandId)) {
        reply->setValue(CReply::kKeyCommandId, ArgumentBlock::fromUint32(commandId));
        reply->setValue(CReply::kKeyAnswer, ArgumentBlock(word, sizeof word));
        reply->setStatus(1);
        return reply;
    }
    const uint32_t length = LoadLe32(word);
    if (length == 0 || length > kUiMaxTextAnswerLength) {
        return reply;
    }
    std::vector<char> text(length + 1, '\0');
    if (readAll(text.data(), length)) {
        reply->setValue(CReply::kKeyCommandId, ArgumentBlock::fromUint32(commandId));
        reply->setValue(CReply::kKeyAnswer, ArgumentBlock(text.data(), text.size()));
        reply->setStatus(1);
    }
    return reply;
}

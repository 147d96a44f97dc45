#include "ui/UiChannel.h"

#include <string>

#include "zorvane_bytes.h"
#include "commands/CommandFactory.h"
#include "base/Logger.h"
#include "ui/UiWire.h"

UiChannel::UiChannel() : mBuilder(&CommandFactory::create) {}

std::unique_ptr<Command> UiChannel::waitForCommand() {
    std::vector<char> body;
    while (readUI(body) == 0) {
    }
    return mBuilder(body.data(), static_cast<int>(body.size()));
}

bool UiChannel::readExact(char* buffer, size_t length) {
    // The stream may deliver a frame in pieces.
    size_t done = 0;
    while (done < length) {
        size_t got = readSome(buffer + done, length - done);
        if (got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

uint32_t UiChannel::readUI(std::vector<char>& body) {
    body.clear();
    if (!connectToUI()) {
        connectionEnded();
        return 0;
    }
    char lengthBytes[kUiLengthBytes];
    if (!readExact(lengthBytes, sizeof lengthBytes)) {
        connectionEnded();
        return 0;
    }
    const uint32_t length = LoadLe32(lengthBytes);
    if (length == 0) {
        return 0;
    }
    if (length > kUiMaxBodyLength) {
        Logger::instance()->out(LOGLEVEL_ERROR, "UI frame length %u above %u - client dropped\n",
                                length, kUiMaxBodyLength);
        dropClient();
        connectionEnded();
        return 0;
    }
    body.resize(length);
    if (!readExact(body.data(), length)) {
        Logger::instance()->out(LOGLEVEL_ERROR, "UI read failed %d\n", lastError());
        connectionEnded();
        body.clear();
        return 0;
    }
    return length;
}

int UiChannel::sendCommandResponse(std::unique_ptr<CommandResponse>& response) {
    if (!response) {
        return 0;
    }
    const std::vector<std::string> writes = uiAnswerWrites(*response);
    response.reset();
    int result = 0;
    for (const std::string& bytes : writes) {
        result = pipeExists() && writeBytes(bytes.data(), bytes.size()) ? 1 : 0;
        if (!result) {
            connectionEnded();  // a broken client is dropped or fails its next read
            break;
        }
    }
    return result;
}

int UiChannel::sendCommand(Command* command) {
    if (!command || !pipeExists()) {
        return 0;
    }
    const char* bytes = nullptr;
    int length = command->getCommandBuffer(&bytes);
    if (length <= 0 || !bytes) {
        return 0;
    }
    if (!writeBytes(bytes, static_cast<size_t>(length))) {
        connectionEnded();
        return 0;
    }
    return 1;
}

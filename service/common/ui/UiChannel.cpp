#include "ui/UiChannel.h"

#include <string>

#include "zorvane_bytes.h"
#include "commands/CommandFactory.h"
#include "base/Logger.h"
#include "ui/UiWire.h"

namespace {

// The desktop channel's log lines, as the Windows service has always written them.
constexpr PipeChannelTexts kUiTexts = {"WinUI::createPipe failed", "WinUI::connectToUI()"};

}  // namespace

UiChannel::UiChannel(std::unique_ptr<PipeServer> server)
    : mPipe(std::move(server), kUiTexts, 1), mBuilder(&CommandFactory::create) {
    createPipe();
}

std::unique_ptr<Command> UiChannel::waitForCommand() {
    std::vector<char> body;
    while (readUI(body) == 0) {
    }
    return mBuilder(body.data(), static_cast<int>(body.size()));
}

int UiChannel::connectToUI() {
    return mPipe.connect() ? 1 : 0;
}

uint32_t UiChannel::readUI(std::vector<char>& body) {
    body.clear();
    if (!connectToUI()) {
        connectionEnded();
        return 0;
    }
    uint32_t length = 0;
    switch (mPipe.readFrame(body, length)) {
        case FrameStatus::kBody:
            return length;
        case FrameStatus::kEmpty:
            return 0;
        case FrameStatus::kTooLong:
            Logger::instance()->out(LOGLEVEL_ERROR,
                                    "UI frame length %u above %u - client dropped\n", length,
                                    kUiMaxBodyLength);
            break;
        case FrameStatus::kBodyFailed:
            Logger::instance()->out(LOGLEVEL_ERROR, "UI read failed %d\n", mPipe.lastError());
            break;
        case FrameStatus::kLengthFailed:
            break;
    }
    connectionEnded();
    return 0;
}

int UiChannel::sendCommandResponse(std::unique_ptr<CommandResponse>& response) {
    if (!response) {
        return 0;
    }
    const std::vector<std::string> writes = uiAnswerWrites(*response);
    response.reset();
    int result = 0;
    for (const std::string& bytes : writes) {
        result = mPipe.writeAll(bytes.data(), bytes.size()) ? 1 : 0;
        if (!result) {
            connectionEnded();  // a broken client is dropped or fails its next read
            break;
        }
    }
    return result;
}

int UiChannel::sendCommand(Command* command) {
    if (!command || !mPipe.exists()) {
        return 0;
    }
    const char* bytes = nullptr;
    int length = command->getCommandBuffer(&bytes);
    if (length <= 0 || !bytes) {
        return 0;
    }
    if (!mPipe.writeAll(bytes, static_cast<size_t>(length))) {
        connectionEnded();
        return 0;
    }
    return 1;
}

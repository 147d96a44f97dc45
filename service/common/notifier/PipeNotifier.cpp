#include "notifier/PipeNotifier.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "zorvane_bytes.h"
#include "commands/CommandFactory.h"
#include "base/Logger.h"

namespace {

// One failed read is a program that went; the next read waits for another
// program. Failures in a row mean the pipe itself fails: retries are spaced.
constexpr std::chrono::milliseconds kRetryDelay(100);

const char* answerName(uint32_t id) {
    switch (id) {
        case NOTIFIER_READ_CHECK_UPDATE_CMD:
            return "NOTIFIER_READ_CHECK_UPDATE_CMD";
        case NOTIFIER_READ_DO_UPDATE_CMD:
            return "NOTIFIER_READ_DO_UPDATE_CMD";
        case NOTIFIER_READ_DOWNLOAD_INPROGRESS:
            return "NOTIFIER_READ_DOWNLOAD_INPROGRESS";
        case NOTIFIER_READ_GET_VERSION:
            return "NOTIFIER_READ_GET_VERSION";
        default:
            return nullptr;
    }
}

}  // namespace

namespace {

constexpr PipeChannelTexts kCommandPipeTexts = {"create named pipe failed", "WinPipe::connect()"};
// A failed wait frees what a departed program left and waits once more.
constexpr int kConnectTries = 2;

}  // namespace

PipeNotifier::PipeNotifier(std::unique_ptr<UserNotifierChannel> channel,
                           std::unique_ptr<PipeServer> commandServer)
    : Notifier(std::move(channel)),
      mCommandPipe(std::move(commandServer), kCommandPipeTexts, kConnectTries),
      mBuilder(&CommandFactory::create) {
    mCommandPipe.create();
}

std::unique_ptr<Command> PipeNotifier::waitForCommand() {
    Logger* log = Logger::instance();
    int failedReads = 0;
    std::vector<char> body;
    for (;;) {
        if (failedReads > 1) {
            std::this_thread::sleep_for(kRetryDelay);
        }
        uint32_t length = 0;
        const FrameStatus status =
            mCommandPipe.connect() ? mCommandPipe.readFrame(body, length) : FrameStatus::kLengthFailed;
        if (status == FrameStatus::kLengthFailed) {
            ++failedReads;
            continue;
        }
        failedReads = 0;
        log->out(LOGLEVEL_INFO, "WinNotifier::waitForCommand len %d\n", static_cast<int>(length));
        switch (status) {
            case FrameStatus::kEmpty:
                return nullptr;
            case FrameStatus::kTooLong:
                log->out(LOGLEVEL_ERROR, "notifier frame length %u above %u - client dropped\n",
                         length, kMaxRequestLength);
                continue;
            case FrameStatus::kBodyFailed:
                log->out(LOGLEVEL_ERROR, "WinNotifier::waitForCommand read failed %d\n",
                         mCommandPipe.lastError());
                continue;
            default:
                return mBuilder(body.data(), static_cast<int>(length));
        }
    }
}

int PipeNotifier::sendCommandResponse(std::unique_ptr<CommandResponse>& response) {
    if (!response) {
        return 0;
    }
    std::vector<char> payload = commandAnswer(*response);
    const ArgumentBlock* idBlock = response->getArgumentForIndex(Command::kArgCommandId);
    const uint32_t id = idBlock ? idBlock->asUint32() : 0;
    response.reset();
    Logger* log = Logger::instance();
    if (const char* name = answerName(id)) {
        log->out(LOGLEVEL_INFO, "WinNotifier::sendCommandResponse %s\n", name);
    }
    if (payload.empty()) {
        return 0;
    }
    std::vector<char> frame(4 + payload.size());
    StoreLe32(frame.data(), static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    if (!mCommandPipe.writeAll(frame.data(), frame.size())) {
        log->out(LOGLEVEL_ERROR, "WinNotifier::sendCommandResponse write failed %d\n",
                 mCommandPipe.lastError());
        return 0;
    }
    return 1;
}

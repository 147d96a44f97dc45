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

PipeNotifier::PipeNotifier(std::unique_ptr<UserNotifierChannel> channel)
    : Notifier(std::move(channel)), mBuilder(&CommandFactory::create) {}

std::unique_ptr<Command> PipeNotifier::waitForCommand() {
    Logger* log = Logger::instance();
    int failedReads = 0;
    for (;;) {
        if (failedReads > 1) {
            std::this_thread::sleep_for(kRetryDelay);
        }
        char count[4];
        if (!connectCommandClient() || !readCommandPipe(count, sizeof count)) {
            ++failedReads;
            continue;
        }
        failedReads = 0;
        const uint32_t length = LoadLe32(count);
        log->out(LOGLEVEL_INFO, "WinNotifier::waitForCommand len %d\n", static_cast<int>(length));
        if (length == 0) {
            return nullptr;
        }
        if (length > kMaxRequestLength) {
            log->out(LOGLEVEL_ERROR, "notifier frame length %u above %u - client dropped\n", length,
                     kMaxRequestLength);
            dropCommandClient();
            continue;
        }
        std::vector<char> body(length);
        if (!readCommandPipe(body.data(), length)) {
            log->out(LOGLEVEL_ERROR, "WinNotifier::waitForCommand read failed %d\n",
                     commandPipeError());
            continue;
        }
        return mBuilder(body.data(), static_cast<int>(length));
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
    if (!writeCommandPipe(frame.data(), static_cast<uint32_t>(frame.size()))) {
        log->out(LOGLEVEL_ERROR, "WinNotifier::sendCommandResponse write failed %d\n",
                 commandPipeError());
        return 0;
    }
    return 1;
}

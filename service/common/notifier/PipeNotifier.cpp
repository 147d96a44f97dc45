#include "notifier/PipeNotifier.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "zorvane_bytes.h"
#include "commands/CommandFactory.h"
#include "base/Logger.h"

namespace {

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

constexpr PipeChannelTexts kCommandPipeTexts = {"create named pipe failed", "WinPipe::connect()",
                                                "WinNotifier::waitForCommand read failed",
                                                "notifier", "notifier"};

}  // namespace

PipeNotifier::PipeNotifier(std::unique_ptr<UserNotifierChannel> channel,
                           std::unique_ptr<PipeServer> commandServer)
    : Notifier(std::move(channel)),
      mCommandPipe(std::move(commandServer), kCommandPipeTexts),
      mBuilder(&CommandFactory::create),
      mIdFilter([](uint32_t id) { return CommandFactory::accepts(id, CommandChannel::kNotifier); }) {
    mCommandPipe.setGate([this](PipeSession& session, const std::vector<char>& body) {
        const uint32_t id = body.size() >= 4 ? LoadLe32(body.data()) : 0;
        if (body.size() >= 4 && !mIdFilter(id)) {
            if (session.firstRefusal()) {
                Logger::instance()->out(
                    LOGLEVEL_ERROR, "command %u not accepted on the notifier channel - dropped\n", id);
            }
            return false;
        }
        return true;
    });
    mCommandPipe.create();
}

std::unique_ptr<Command> PipeNotifier::waitForCommand() {
    std::vector<char> body = mCommandPipe.nextRequest();
    if (body.empty()) {
        return nullptr;  // the channel is going away
    }
    Logger::instance()->out(LOGLEVEL_INFO, "WinNotifier::waitForCommand len %d\n",
                            static_cast<int>(body.size()));
    return mBuilder(body.data(), static_cast<int>(body.size()));
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
    if (!mCommandPipe.answer(frame.data(), frame.size())) {
        log->out(LOGLEVEL_ERROR, "WinNotifier::sendCommandResponse write failed - program gone\n");
        return 0;
    }
    return 1;
}

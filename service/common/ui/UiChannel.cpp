#include "ui/UiChannel.h"

#include <string>

#include "base/Logger.h"
#include "cloud/Authentication.h"
#include "commands/CommandFactory.h"
#include "ui/UiWire.h"
#include "zorvane_bytes.h"

namespace {

// The desktop channel's log lines, as the Windows service has always written them.
constexpr PipeChannelTexts kUiTexts = {"WinUI::createPipe failed", "WinUI::connectToUI()",
                                       "UI read failed", "UI", "desktop"};

bool checksPassword(uint32_t id) {
    return id == UI_READ_ENABLE_CMD || id == UI_READ_DISABLE_CMD || id == UI_READ_AUTH_CMD;
}

// Whether an answer tells of a password that did not pass. A sign-in that
// could not reach the cloud, or was not attempted, checked no password; one
// that passed but was not saved had the right one.
bool passwordFailed(const CommandResponse& response, uint32_t id) {
    if (response.getStatus() == COMMAND_SUCCESS) {
        return false;
    }
    if (id != UI_READ_AUTH_CMD) {
        return true;
    }
    const ArgumentBlock* code = response.getArgumentForIndex(2);
    const uint32_t value = code ? code->asUint32() : 0;
    return value != AUTH_STATUS_FAILED && value != AUTH_STATUS_CURL_ERROR &&
           value != AUTH_STATUS_NOT_SAVED;
}

}  // namespace

UiChannel::UiChannel(std::unique_ptr<PipeServer> server, PipeChannelLimits limits)
    : mPipe(std::move(server), kUiTexts, limits),
      mBuilder(&CommandFactory::create),
      mIdFilter([](uint32_t id) { return CommandFactory::accepts(id, CommandChannel::kDesktop); }) {
    mPipe.setGate([this](PipeSession& session, const std::vector<char>& body) {
        return admit(session, body);
    });
    createPipe();
}

bool UiChannel::admit(PipeSession& session, const std::vector<char>& body) {
    if (body.size() < 4) {
        return true;  // the factory logs a buffer too short for an id
    }
    const uint32_t id = LoadLe32(body.data());
    if (!mIdFilter(id)) {
        if (session.firstRefusal()) {
            Logger::instance()->out(LOGLEVEL_ERROR,
                                    "command %u not accepted on the desktop channel - dropped\n",
                                    id);
        }
        return false;
    }
    return !checksPassword(id) || mPasswords.waitTurn(session, mPipe);
}

std::unique_ptr<Command> UiChannel::waitForCommand() {
    std::vector<char> body = mPipe.nextRequest();
    if (body.empty()) {
        return nullptr;  // the channel is going away
    }
    return mBuilder(body.data(), static_cast<int>(body.size()));
}

bool UiChannel::isSignedIn() const {
    std::shared_ptr<PipeSession> session = mPipe.current();
    return session && session->signedIn();
}

void UiChannel::markSignedIn() {
    if (std::shared_ptr<PipeSession> session = mPipe.current()) {
        session->setSignedIn(true);
    }
}

int UiChannel::sendCommandResponse(std::unique_ptr<CommandResponse>& response) {
    if (!response) {
        return 0;
    }
    const ArgumentBlock* idBlock = response->getArgumentForIndex(Command::kArgCommandId);
    const uint32_t id = idBlock ? idBlock->asUint32() : 0;
    if (checksPassword(id)) {
        if (std::shared_ptr<PipeSession> session = mPipe.current()) {
            mPasswords.record(*session, passwordFailed(*response, id));
        }
    }
    std::string bytes;
    for (const std::string& write : uiAnswerWrites(*response)) {
        bytes += write;
    }
    response.reset();
    if (bytes.empty()) {
        return 0;
    }
    return mPipe.answer(bytes.data(), bytes.size()) ? 1 : 0;
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
    return mPipe.answer(bytes, static_cast<size_t>(length)) ? 1 : 0;
}

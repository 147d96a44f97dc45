#include "commands/UpdateCommand.h"

#include "base/Logger.h"
#include "update/UpdateManager.h"

namespace {

// Texts travel with their NUL; the lengths leave it out.
ArgumentBlock textBlock(const String& text) { return ArgumentBlock(text.c_str(), text.size() + 1); }

ArgumentBlock lengthBlock(const String& text) {
    return ArgumentBlock::fromUint32(static_cast<uint32_t>(text.size()));
}

}  // namespace

UpdateCommand::UpdateCommand(const char* buffer, int /*length*/)
    : Command(buffer), mCommand(getCommandId()) {}

std::unique_ptr<Command> UpdateCommand::build(const char* buffer, int length) {
    return std::make_unique<UpdateCommand>(buffer, length);
}

std::unique_ptr<CommandResponse> UpdateCommand::execute() {
    Logger* log = Logger::instance();
    auto response = newResponse();
    UpdateManager* manager = UpdateManager::instance();
    int status = ZORVANE_UPDATE_ERROR;
    if (mCommand == NOTIFIER_READ_CHECK_UPDATE_CMD) {
        String version;
        String info;
        String setupPath;
        status = manager->checkForUpdate(version, info, setupPath);
        if (status == ZORVANE_UPDATE_OLD_VERSION) {
            response->setArgument(3, lengthBlock(setupPath));
            response->setArgument(4, textBlock(setupPath));
            response->setArgument(5, lengthBlock(version));
            response->setArgument(6, textBlock(version));
            response->setArgument(7, lengthBlock(info));
            response->setArgument(8, textBlock(info));
            log->out(LOGLEVEL_INFO, "setupExe %d %s\n", static_cast<int>(setupPath.size()),
                     setupPath.c_str());
        } else {
            response->setArgument(3, lengthBlock(version));
            response->setArgument(4, textBlock(version));
            log->out(LOGLEVEL_INFO, "version %d %s\n", static_cast<int>(version.size()),
                     version.c_str());
        }
    } else if (mCommand == NOTIFIER_READ_DO_UPDATE_CMD) {
        status = manager->doUpdate();
    }
    response->setArgument(2, ArgumentBlock::fromUint32(static_cast<uint32_t>(status)));
    const bool answered = status == ZORVANE_UPDATE_LATEST_VERSION ||
                          status == ZORVANE_UPDATE_OLD_VERSION || status == ZORVANE_UPDATE_SUCCESS;
    response->setStatus(answered ? COMMAND_SUCCESS : COMMAND_FAILED);
    return response;
}

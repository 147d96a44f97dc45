#include "commands/StatusCommands.h"

#include "settings/AdminInfo.h"
#include "cloud/Authentication.h"
#include "cloud/Credentials.h"
#include "driver/DriverCommand.h"
#include "base/Logger.h"
#include "settings/Settings.h"
#include "zorvane_ioctl.h"

namespace {

constexpr int kArgUser = 2;
constexpr int kArgPassword = 3;
constexpr int kArgIsEnable = 4;
constexpr int kArgValue = 2;
constexpr int kArgText = 3;
constexpr int kIdLength = 4;

}  // namespace

EnableCommand::EnableCommand(const char* buffer, int length) : Command(buffer) {
    const Credentials credentials = parseCredentials(buffer + kIdLength, length - kIdLength);
    setArgument(kArgUser, ArgumentBlock::fromText(credentials.user));
    setArgument(kArgPassword, ArgumentBlock::fromText(credentials.password));
    setArgument(kArgIsEnable, ArgumentBlock::fromUint32(getCommandId() == UI_READ_ENABLE_CMD));
}

std::unique_ptr<Command> EnableCommand::build(const char* buffer, int length) {
    return std::make_unique<EnableCommand>(buffer, length);
}

String EnableCommand::getUser() const {
    return getArgumentText(kArgUser);
}
String EnableCommand::getPassword() const {
    return getArgumentText(kArgPassword);
}

bool EnableCommand::isEnable() const {
    const ArgumentBlock* block = getArgumentForIndex(kArgIsEnable);
    return block && block->asUint32() != 0;
}

std::unique_ptr<CommandResponse> EnableCommand::execute() {
    auto response = newResponse();
    AdminInfo admin;
    admin.setUser(getUser());
    admin.setPassword(getPassword());
    // The log is readable by more people than the parent: no password in it.
    Logger::instance()->out(LOGLEVEL_INFO, "EnableCommand::execute %s\n", admin.getUser().c_str());
    Authentication* auth = Authentication::instance();
    if (auth && auth->doAuth(&admin) == AUTH_STATUS_PASSED) {
        response->setStatus(COMMAND_SUCCESS);
    }
    return response;
}

StatusCommand::StatusCommand(const char* buffer, int /*length*/) : Command(buffer) {}

std::unique_ptr<Command> StatusCommand::build(const char* buffer, int length) {
    return std::make_unique<StatusCommand>(buffer, length);
}

std::unique_ptr<CommandResponse> StatusCommand::execute() {
    auto response = newResponse();
    DriverCommand query(ZORVANE_IOCTL_GET_MODULE_STATUS);
    std::unique_ptr<CommandResponse> reply = query.execute();
    const ArgumentBlock* enabled = reply ? reply->getArgumentForIndex(kArgValue) : nullptr;
    const bool answered = reply && reply->getStatus() == COMMAND_SUCCESS && enabled;
    response->setStatus(answered ? COMMAND_SUCCESS : COMMAND_FAILED);
    // A filter that does not answer is not one that is switched off.
    response->setArgument(kArgValue, ArgumentBlock::fromUint32(answered ? enabled->asUint32()
                                                                        : UI_STATUS_FILTER_NO_ANSWER));
    return response;
}

AuthStatusCommand::AuthStatusCommand(const char* buffer, int /*length*/) : Command(buffer) {}

std::unique_ptr<Command> AuthStatusCommand::build(const char* buffer, int length) {
    return std::make_unique<AuthStatusCommand>(buffer, length);
}

std::unique_ptr<CommandResponse> AuthStatusCommand::execute() {
    Logger* log = Logger::instance();
    auto response = newResponse();
    log->out(LOGLEVEL_INFO, "AuthStatusCommand::execute()\n");
    const int status = Settings::instance()->GetUserAuthStatus();
    log->out(LOGLEVEL_INFO, "AuthStatusCommand::execute() auth status %d\n", status);
    response->setArgument(kArgValue, ArgumentBlock::fromUint32(static_cast<uint32_t>(status)));
    response->setStatus(COMMAND_SUCCESS);
    return response;
}

GetVersionCommand::GetVersionCommand(const char* buffer, int /*length*/) : Command(buffer) {}

std::unique_ptr<Command> GetVersionCommand::build(const char* buffer, int length) {
    return std::make_unique<GetVersionCommand>(buffer, length);
}

std::unique_ptr<CommandResponse> GetVersionCommand::execute() {
    auto response = newResponse();
    const String version = Settings::instance()->getVersion();
    Logger::instance()->out(LOGLEVEL_INFO, "GetVersionCommand::execute version %s\n",
                            version.c_str());
    const size_t length = version.size() + 1;  // the notifier reads the NUL too
    response->setArgument(kArgValue, ArgumentBlock::fromUint32(static_cast<uint32_t>(length)));
    response->setArgument(kArgText, ArgumentBlock(version.c_str(), length));
    response->setStatus(COMMAND_SUCCESS);
    return response;
}

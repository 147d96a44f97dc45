#include "commands/ProfileCommands.h"

#include <cstring>
#include <set>
#include <string>

#include "zorvane_bytes.h"
#include "system/Device.h"
#include "driver/Driver.h"
#include "driver/DriverSetup.h"
#include "base/Logger.h"
#include "notifier/Notifier.h"
#include "settings/UserMapCheck.h"

namespace {

constexpr int kArgValue = 2;
constexpr int kArgText = 3;
constexpr int kIdLength = 4;

// The text after the id: up to the first NUL, never past what arrived.
String textAfterId(const char* buffer, int length) {
    if (!buffer || length <= kIdLength) {
        return String();
    }
    const char* text = buffer + kIdLength;
    const size_t room = static_cast<size_t>(length - kIdLength);
    const void* end = std::memchr(text, '\0', room);
    const size_t size = end ? static_cast<size_t>(static_cast<const char*>(end) - text) : room;
    return String(text, static_cast<int>(size));
}

void setTextAnswer(CommandResponse& response, const String& text) {
    response.setArgument(kArgValue, ArgumentBlock::fromUint32(static_cast<uint32_t>(text.size())));
    response.setArgument(kArgText, ArgumentBlock::fromText(text));
}

}  // namespace

ChildListCommand::ChildListCommand(const char* buffer, int /*length*/) : Command(buffer) {}

std::unique_ptr<Command> ChildListCommand::build(const char* buffer, int length) {
    return std::make_unique<ChildListCommand>(buffer, length);
}

String ChildListCommand::childListText(const ChildList& children) {
    std::string text;
    for (const auto& [id, child] : children) {
        text += std::to_string(id) + ", " + std::to_string(child.getLevel()) + ", " +
                child.getName() + "\n";
    }
    return String(text);
}

std::unique_ptr<CommandResponse> ChildListCommand::execute() {
    auto response = newResponse();
    const String text = childListText(Settings::instance()->getChildList());
    Logger::instance()->out(LOGLEVEL_INFO, "child List %s\n", text.c_str());
    setTextAnswer(*response, text);
    response->setStatus(COMMAND_SUCCESS);
    return response;
}

UserInfoCommand::UserInfoCommand(const char* buffer, int /*length*/) : Command(buffer) {}

std::unique_ptr<Command> UserInfoCommand::build(const char* buffer, int length) {
    return std::make_unique<UserInfoCommand>(buffer, length);
}

std::unique_ptr<CommandResponse> UserInfoCommand::execute() {
    return nullptr;
}

SetUserCommand::SetUserCommand(const char* buffer, int length) : Command(buffer) {
    const uint32_t childId = length >= kMinLength ? LoadLe32(buffer + kIdLength) : 0;
    setArgument(kArgValue, ArgumentBlock::fromUint32(childId));
}

std::unique_ptr<Command> SetUserCommand::build(const char* buffer, int length) {
    return std::make_unique<SetUserCommand>(buffer, length);
}

uint32_t SetUserCommand::getChildId() const {
    const ArgumentBlock* block = getArgumentForIndex(kArgValue);
    return block ? block->asUint32() : 0;
}

std::unique_ptr<CommandResponse> SetUserCommand::execute() {
    // The filter's user record is keyed by the user's SID; a bare child id
    // would have to be pinned on a guessed user, so nothing is sent.
    Logger::instance()->out(LOGLEVEL_WARN,
                            "SetUserCommand childId %u refused - the request names no user\n",
                            getChildId());
    return newResponse();
}

GetSysZorvUserMapCommand::GetSysZorvUserMapCommand(const char* buffer, int /*length*/)
    : Command(buffer) {}

std::unique_ptr<Command> GetSysZorvUserMapCommand::build(const char* buffer, int length) {
    return std::make_unique<GetSysZorvUserMapCommand>(buffer, length);
}

std::unique_ptr<CommandResponse> GetSysZorvUserMapCommand::execute() {
    auto response = newResponse();
    String text;
    const int result = Settings::instance()->getSysZorvUserMap(text);
    Logger::instance()->out(LOGLEVEL_INFO, "GetSysZorvUserMapCommand::execute %d %d \n%s\n", result,
                            static_cast<int>(text.size()), text.c_str());
    setTextAnswer(*response, text);
    response->setStatus(COMMAND_SUCCESS);
    return response;
}

SetSysZorvUserMapCommand::SetSysZorvUserMapCommand(const char* buffer, int length)
    : Command(buffer) {
    setArgument(kArgValue, ArgumentBlock::fromText(textAfterId(buffer, length)));
}

std::unique_ptr<Command> SetSysZorvUserMapCommand::build(const char* buffer, int length) {
    return std::make_unique<SetSysZorvUserMapCommand>(buffer, length);
}

String SetSysZorvUserMapCommand::getMapText() const {
    return getArgumentText(kArgValue);
}

int SetSysZorvUserMapCommand::updateDriver(Settings& settings) {
    Logger* log = Logger::instance();
    if (!settings.IsFilterEnabled()) {
        log->out(LOGLEVEL_INFO, "Filter is disabled\n");
        return 0;
    }
    Driver* driver = Driver::instance();
    Device* device = settings.getDeviceInfo();
    // The whole pass at once: another configuration in between would leave
    // the filter with a mix of two maps.
    std::lock_guard<std::recursive_mutex> lock(DriverSetup::configurationLock());
    if (!driver || !device || !driver->setFilterDevice(device->getDeviceId())) {
        log->out(LOGLEVEL_ERROR, "SetSysZorvUserMapCommand setFilterDevice failed\n");
        return 0;
    }
    const SysZorvUserMap map = settings.getSysZorvUserMap();
    if (!DriverSetup::sendUserMap(*driver, map) ||
        !driver->setCurrentChildUser(settings.getCurrentChildId()) ||
        !DriverSetup::sendFilterState(*driver, map)) {
        log->out(LOGLEVEL_ERROR, "SetSysZorvUserMapCommand setUserMap failed\n");
        return 0;
    }
    return 1;
}

std::unique_ptr<CommandResponse> SetSysZorvUserMapCommand::execute() {
    auto response = newResponse();
    Settings* settings = Settings::instance();
    std::set<uint32_t> childIds;
    for (const auto& child : settings->getChildList()) {
        childIds.insert(child.first);
    }
    UserMapProblem problem;
    if (!checkUserMapText(getMapText(), childIds, problem)) {
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "SetSysZorvUserMapCommand map refused - line %d: %s\n",
                                problem.line, problem.reason.c_str());
        return response;
    }
    const UserMapChange change = settings->updateAndSaveSysZorvUserMap(getMapText());
    if (change == UserMapChange::NOT_SAVED) {
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "SetSysZorvUserMapCommand map not saved - nothing changed\n");
    }
    if (change != UserMapChange::SAVED) {
        return response;
    }
    if (Notifier* notifier = Notifier::instance()) {
        notifier->usersChanged();
    }
    if (updateDriver(*settings)) {
        response->setStatus(COMMAND_SUCCESS);
    } else {
        Logger::instance()->out(LOGLEVEL_ERROR, "initializeDriver Failed\n");
    }
    return response;
}

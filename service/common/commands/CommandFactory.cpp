#include "commands/CommandFactory.h"

#include <vector>

#include "commands/AuthCommand.h"
#include "commands/HttpsCommand.h"
#include "zorvane_bytes.h"
#include "base/Logger.h"
#include "notifier/NotifyCodes.h"
#include "commands/NotifyCommand.h"
#include "commands/ProfileCommands.h"
#include "commands/ServerDownCommand.h"
#include "commands/StatusCommands.h"
#include "commands/UpdateCommand.h"

namespace {

constexpr int kIdLength = 4;

}  // namespace

const std::vector<CommandFactory::Entry>& CommandFactory::defaultTable() {
    // Classes arrive with their channels; until then an id builds nothing.
    static const std::vector<Entry> table = {
        {DRIVER_READ_HTTPS_HOST_STATUS_CMD, "HttpsCommand", HttpsCommand::kMinLength,
         HttpsCommand::build},
        {DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD, "NotifyCommand", NotifyCommand::kHeaderLength,
         NotifyCommand::build},
        {ZORVANE_READ_ALL_SERVER_DOWN_CMD, "ServerDownCommand", ServerDownCommand::kMinLength,
         ServerDownCommand::build},
        {ZORVANE_READ_NOTIFY_REDIRECT_PID, "NotifyRedirectProcessCommand",
         NotifyRedirectProcessCommand::kMinLength, NotifyRedirectProcessCommand::build},
        {UI_READ_N_USERS_CMD, "ChildListCommand", ChildListCommand::kMinLength,
         ChildListCommand::build},
        {UI_READ_ENABLE_CMD, "EnableCommand", EnableCommand::kMinLength, EnableCommand::build},
        {UI_READ_DISABLE_CMD, "EnableCommand", EnableCommand::kMinLength, EnableCommand::build},
        {UI_READ_STATUS_CMD, "StatusCommand", StatusCommand::kMinLength, StatusCommand::build},
        {UI_READ_AUTH_CMD, "AuthCommand", AuthCommand::kMinLength, AuthCommand::build},
        {UI_READ_GET_USER_INFO_CMD, "UserInfoCommand", UserInfoCommand::kMinLength,
         UserInfoCommand::build},
        {UI_READ_SET_USER_CMD, "SetUserCommand", SetUserCommand::kMinLength, SetUserCommand::build},
        {UI_READ_GET_USER_LIST_CMD, "ChildListCommand", ChildListCommand::kMinLength,
         ChildListCommand::build},
        {UI_READ_GET_SYS_ZORV_USER_MAP_CMD, "GetSysZorvUserMapCommand",
         GetSysZorvUserMapCommand::kMinLength, GetSysZorvUserMapCommand::build},
        {UI_READ_SET_SYS_ZORV_USER_MAP_CMD, "SetSysZorvUserMapCommand",
         SetSysZorvUserMapCommand::kMinLength, SetSysZorvUserMapCommand::build},
        {UI_READ_AUTH_STATUS_CMD, "AuthStatusCommand", AuthStatusCommand::kMinLength,
         AuthStatusCommand::build},
        {NOTIFIER_READ_CHECK_UPDATE_CMD, "UpdateCommand", UpdateCommand::kMinLength,
         UpdateCommand::build},
        {NOTIFIER_READ_DO_UPDATE_CMD, "UpdateCommand", UpdateCommand::kMinLength,
         UpdateCommand::build},
        {NOTIFIER_READ_GET_VERSION, "GetVersionCommand", GetVersionCommand::kMinLength,
         GetVersionCommand::build},
    };
    return table;
}

bool CommandFactory::accepts(uint32_t id, CommandChannel channel) {
    switch (channel) {
        case CommandChannel::kDriver:
            return id >= DRIVER_READ_INTERFACE_UP_CMD && id <= ZORVANE_READ_NOTIFY_REDIRECT_PID;
        case CommandChannel::kDesktop:
            return id >= UI_READ_N_USERS_CMD && id <= UI_READ_AUTH_STATUS_CMD;
        case CommandChannel::kNotifier:
            return id >= NOTIFIER_READ_CHECK_UPDATE_CMD && id <= NOTIFIER_READ_GET_VERSION;
    }
    return false;
}

const char* CommandFactory::channelName(CommandChannel channel) {
    switch (channel) {
        case CommandChannel::kDriver:
            return "driver";
        case CommandChannel::kDesktop:
            return "desktop";
        case CommandChannel::kNotifier:
            return "notifier";
    }
    return "unknown";
}

std::unique_ptr<Command> CommandFactory::create(const char* buffer, int length) {
    static const CommandFactory factory(defaultTable());
    return factory.build(buffer, length);
}

const CommandFactory::Entry* CommandFactory::find(uint32_t id) const {
    for (const Entry& entry : mTable) {
        if (entry.id == id) {
            return &entry;
        }
    }
    return nullptr;
}

std::unique_ptr<Command> CommandFactory::build(const char* buffer, int length) const {
    Logger* log = Logger::instance();
    if (!buffer || length < kIdLength) {
        log->out(LOGLEVEL_ERROR, "CommandFactory buffer too short %d\n", buffer ? length : 0);
        return nullptr;
    }
    uint32_t id = LoadLe32(buffer);
    log->out(LOGLEVEL_INFO, "CommandFactory command %d\n", static_cast<int>(id));

    switch (id) {
        case DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD:
            log->out(LOGLEVEL_INFO, "DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD\n");
            break;
        case NOTIFIER_READ_CHECK_UPDATE_CMD:
        case NOTIFIER_READ_DO_UPDATE_CMD:
            log->out(LOGLEVEL_INFO, "NOTIFIER_READ_CHECK_UPDATE_CMD\n");
            break;
        case NOTIFIER_READ_GET_VERSION:
            log->out(LOGLEVEL_INFO, "NOTIFIER_READ_GET_VERSION\n");
            break;
        case ZORVANE_READ_NOTIFY_REDIRECT_PID:
            log->out(LOGLEVEL_INFO, "ZORVANE_READ_NOTIFY_REDIRECT_PID\n");
            break;
        default:
            break;
    }

    const Entry* entry = find(id);
    if (!entry || !entry->build) {
        return nullptr;
    }
    if (length < entry->minLength) {
        log->out(LOGLEVEL_ERROR, "CommandFactory command %d buffer too short %d < %d\n",
                 static_cast<int>(id), length, entry->minLength);
        return nullptr;
    }
    if (id == DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD) {
        // The driver's site-blocked record becomes a site-blocked notification
        // record: type 1 in place of the id, every other byte as received.
        std::vector<char> record(buffer, buffer + length);
        StoreLe32(record.data(), NOTIFY_HTTPS_SITE_BLOCKED);
        return entry->build(record.data(), length);
    }
    return entry->build(buffer, length);
}

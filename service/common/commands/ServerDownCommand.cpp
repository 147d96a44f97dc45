#include "commands/ServerDownCommand.h"

#include "zorvane_bytes.h"
#include "cloud/ConnectionInfo.h"
#include "driver/Driver.h"
#include "base/Logger.h"
#include "notifier/NotifyCodes.h"
#include "commands/NotifyCommand.h"
#include "settings/Settings.h"

namespace {

// What ConnectionInfo gives for a name it cannot resolve, or without IPv4.
bool usable(uint32_t address) {
    return address != 0 && address != 0xFFFFFFFFu;
}

}  // namespace

ServerDownCommand::ServerDownCommand(const char* buffer, int length) : Command(buffer) {
    if (buffer && length >= kMinLength) {
        mAddress = LoadLe32(buffer + 8);
        mAltAddress = LoadLe32(buffer + 12);
        mPort = LoadLe16(buffer + 16);
        mAltPort = LoadLe16(buffer + 18);
    }
    Logger::instance()->out(LOGLEVEL_INFO, "ServerDownCommand::execute %u %d %u %d\n", mAddress,
                            static_cast<int>(mPort), mAltAddress, static_cast<int>(mAltPort));
}

std::unique_ptr<Command> ServerDownCommand::build(const char* buffer, int length) {
    return std::make_unique<ServerDownCommand>(buffer, length);
}

std::unique_ptr<CommandResponse> ServerDownCommand::execute() {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "ServerDownCommand::execute\n");
    auto response = newResponse();
    std::shared_ptr<ConnectionInfo> connection = Settings::instance()->getConnectionInfo();
    if (!connection) {
        log->out(LOGLEVEL_ERROR, "ServerDownCommand no connection info\n");
        return response;
    }
    const uint32_t address = connection->getFilterServerAddress();
    const uint32_t altAddress = connection->getAlternateFilterServerAddress();
    const uint16_t port = connection->getFilterServerPort();
    const uint16_t altPort = connection->getAlternateFilterServerPort();
    // A port the cloud moved leaves the filter knocking on the wrong door
    // just like a moved address. A server that cannot be resolved now is no
    // better than the one the filter has.
    const bool outdated =
        address != mAddress || altAddress != mAltAddress || port != mPort || altPort != mAltPort;
    if (outdated && usable(address)) {
        Driver* driver = Driver::instance();
        if (driver && driver->setFilterAddress(address, altAddress, port, altPort)) {
            response->setStatus(COMMAND_SUCCESS);
        } else {
            log->out(LOGLEVEL_ERROR, "ServerDownCommand setFilterAddress failed\n");
        }
        return response;
    }
    char record[NotifyCommand::kHeaderLength] = {};
    StoreLe32(record, NOTIFY_ALL_SERVER_DOWN);
    StoreLe32(record + 4, 0);  // child 0: every user
    NotifyCommand notice(record, sizeof record);
    notice.execute();
    return response;
}

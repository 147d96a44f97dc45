#include "DriverCommand.h"

#include <cstring>

#include "Bytes.h"
#include "Driver.h"
#include "Logger.h"
#include "zorvane_ioctl.h"

namespace {

uint32_t currentAuthToken() {
    Driver* driver = Driver::instance();
    return driver ? driver->getAuthToken() : Driver::kAuthToken;
}

// The longest SID or host text a record can carry: the room after the
// length field less the 12-byte head and the NUL.
constexpr int kMaxRecordText = DriverCommand::kRecordRoom - 13;
constexpr int kMaxPorts = (DriverCommand::kRecordRoom - 12) / 2;

}  // namespace

DriverCommand::DriverCommand(uint32_t code) {
    setArgument(kArgCommandId, ArgumentBlock::fromUint32(code));
}

ArgumentBlock DriverCommand::fromUint16(uint16_t value) {
    char bytes[2];
    writeLe16(bytes, value);
    return ArgumentBlock(bytes, sizeof(bytes));
}

uint32_t DriverCommand::argumentValue(int index) const {
    const ArgumentBlock* block = getArgumentForIndex(index);
    return block ? block->asUint32() : 0;
}

uint16_t DriverCommand::argument16(int index) const {
    const ArgumentBlock* block = getArgumentForIndex(index);
    return block && block->size() >= 2 ? readLe16(block->data()) : 0;
}

uint32_t DriverCommand::getLength() const {
    return readLe32(mpBuff);
}

char* DriverCommand::finish(uint32_t length) {
    writeLe32(mpBuff, length);
    return mpBuff;
}

char* DriverCommand::buildTokenAndValue() {
    char* record = mpBuff + 4;
    writeLe32(record, currentAuthToken());
    writeLe32(record + 4, argumentValue(kArgValue));
    return finish(8);
}

char* DriverCommand::getModuleVersionCommandArgs() {
    memset(mpBuff + 4, 0, 8);
    return finish(8);
}

char* DriverCommand::getUserDetailsCommandArgs() {
    const ArgumentBlock* sid = getArgumentForIndex(kArgSid);
    const int length = static_cast<int>(argumentValue(kArgSidLength));
    if (!sid || length < 0 || static_cast<size_t>(length) > sid->size() ||
        length > kMaxRecordText) {
        Logger::instance()->out(LOGLEVEL_ERROR, "DriverCommand sid does not fit (%d)\n", length);
        return nullptr;
    }
    char* record = mpBuff + 4;
    writeLe32(record, currentAuthToken());
    writeLe32(record + 4, argumentValue(kArgSidChildId));
    writeLe16(record + 8, argument16(kArgSidCurr));
    writeLe16(record + 10, argument16(kArgSidTotal));
    memcpy(record + 12, sid->data(), static_cast<size_t>(length));
    record[12 + length] = 0;
    return finish(static_cast<uint32_t>(length) + 13);
}

char* DriverCommand::getEnableFilterCommandArgs() {
    return buildTokenAndValue();
}

char* DriverCommand::getPortOptionsCommandArgs() {
    const int count = static_cast<int>(argumentValue(kArgPortCount));
    const ArgumentBlock* ports = getArgumentForIndex(kArgPorts);
    const size_t available = ports ? ports->size() / 2 : 0;
    if (count < 0 || count > kMaxPorts || static_cast<size_t>(count) > available) {
        Logger::instance()->out(LOGLEVEL_ERROR, "DriverCommand port list does not fit (%d)\n",
                                count);
        return nullptr;
    }
    char* record = mpBuff + 4;
    writeLe32(record, currentAuthToken());
    writeLe32(record + 4, argumentValue(kArgBlock));
    writeLe32(record + 8, static_cast<uint32_t>(count));
    if (count > 0) {
        memcpy(record + 12, ports->data(), static_cast<size_t>(count) * 2);
    }
    return finish(12 + 2 * static_cast<uint32_t>(count));
}

char* DriverCommand::getPortListCommandArgs(uint32_t nPorts) {
    if (nPorts > static_cast<uint32_t>((kRecordRoom - 8) / 2)) {
        Logger::instance()->out(LOGLEVEL_ERROR, "DriverCommand port list does not fit (%u)\n",
                                nPorts);
        return nullptr;
    }
    const uint32_t length = 8 + 2 * nPorts;
    char* record = mpBuff + 4;
    memset(record, 0, length);
    writeLe32(record, currentAuthToken());
    writeLe32(record + 4, nPorts);
    return finish(length);
}

char* DriverCommand::getServerDetailsCommandArgs() {
    char* record = mpBuff + 4;
    writeLe32(record, currentAuthToken());
    writeLe32(record + 4, argumentValue(kArgAddress));
    writeLe32(record + 8, argumentValue(kArgAltAddress));
    writeLe16(record + 12, argument16(kArgPort));
    writeLe16(record + 14, argument16(kArgAltPort));
    return finish(16);
}

char* DriverCommand::getStatusCommandArgs() {
    char* record = mpBuff + 4;
    writeLe32(record, currentAuthToken());
    writeLe32(record + 4, 0);
    return finish(8);
}

char* DriverCommand::getHttpsOptionsCommandArgs() {
    const ArgumentBlock* host = getArgumentForIndex(kArgHost);
    // The text may or may not carry its NUL; it ends at the first one.
    const size_t length = host ? strnlen(host->data(), host->size()) : 0;
    if (!host || length > static_cast<size_t>(kMaxRecordText)) {
        Logger::instance()->out(LOGLEVEL_ERROR, "DriverCommand host does not fit (%d)\n",
                                static_cast<int>(length));
        return nullptr;
    }
    char* record = mpBuff + 4;
    writeLe32(record, currentAuthToken());
    writeLe32(record + 4, argumentValue(kArgHostStatus));
    writeLe32(record + 8, argumentValue(kArgHostChildId));
    memcpy(record + 12, host->data(), length);
    record[12 + length] = 0;
    return finish(static_cast<uint32_t>(length) + 13);
}

char* DriverCommand::getDeviceCommandArgs() {
    return buildTokenAndValue();
}
char* DriverCommand::getExceptionCommandArgs() {
    return buildTokenAndValue();
}
char* DriverCommand::getChildUserCommandArgs() {
    return buildTokenAndValue();
}

int DriverCommand::getCommandBuffer(char** buff) {
    char* built = nullptr;
    switch (getCode()) {
        case ZORVANE_IOCTL_GET_VERSION:
            built = getModuleVersionCommandArgs();
            break;
        case ZORVANE_IOCTL_SET_USER:
            built = getUserDetailsCommandArgs();
            break;
        case ZORVANE_IOCTL_ENABLE_FILTER:
            built = getEnableFilterCommandArgs();
            break;
        case ZORVANE_IOCTL_PORT_OPTIONS:
            built = getPortOptionsCommandArgs();
            break;
        case ZORVANE_IOCTL_SET_SERVER_ADDRESS:
            built = getServerDetailsCommandArgs();
            break;
        case ZORVANE_IOCTL_GET_MODULE_STATUS:
            built = getStatusCommandArgs();
            break;
        case ZORVANE_IOCTL_HTTPS_BLOCKED:
            built = getHttpsOptionsCommandArgs();
            break;
        case ZORVANE_IOCTL_SET_DEVICE_CMD:
            built = getDeviceCommandArgs();
            break;
        case ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD:
        case ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD:
            built = getExceptionCommandArgs();
            break;
        case ZORVANE_IOCTL_SET_CURRENT_USER_CMD:
        case ZORVANE_IOCTL_SET_REDIRECT_PID_CMD:
        case ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD:
            built = getChildUserCommandArgs();
            break;
        default:
            break;
    }
    if (!built) {
        return 0;
    }
    if (buff) {
        *buff = built;
    }
    return kBufferSize;
}

int DriverCommand::getCommandBuffer(const char** buffer) {
    char* built = nullptr;
    int size = getCommandBuffer(&built);
    if (buffer) {
        *buffer = built;
    }
    return size;
}

std::unique_ptr<CommandResponse> DriverCommand::execute() {
    auto response = newResponse();
    Driver* driver = Driver::instance();
    if (!driver || driver->sendCommand(this) != 1) {
        response->setStatus(COMMAND_FAILED);
        return response;
    }
    response->setStatus(COMMAND_SUCCESS);
    const char* reply = getRecord();
    if (getCode() == ZORVANE_IOCTL_GET_VERSION && getLength() >= 8) {
        response->setArgument(2, ArgumentBlock::fromUint32(readLe32(reply)));
        response->setArgument(3, ArgumentBlock::fromUint32(readLe32(reply + 4)));
    } else if (getCode() == ZORVANE_IOCTL_GET_MODULE_STATUS && getLength() >= 8) {
        response->setArgument(2, ArgumentBlock::fromUint32(readLe32(reply + 4)));
    }
    return response;
}

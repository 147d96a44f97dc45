#include "driver/DriverCommand.h"

#include <cstddef>
#include <cstring>

#include "zorvane_bytes.h"
#include "driver/Driver.h"
#include "base/Logger.h"
#include "zorvane_ioctl.h"

namespace {

uint32_t currentAuthToken() {
    Driver* driver = Driver::instance();
    return driver ? driver->getAuthToken() : ZORVANE_AUTH_CHALLENGE;
}

// A field of the record being built, at its offset in the record's struct.
#define FIELD(record, Type, member) ((record) + offsetof(Type, member))

// The longest SID or host text a record can carry: the room after the
// length field less the fixed part and the NUL.
constexpr uint32_t kMaxSidText = DriverCommand::kRecordRoom - ZORVANE_SYS_USER_FIXED_SIZE - 1;
constexpr uint32_t kMaxHostText =
    DriverCommand::kRecordRoom - ZORVANE_HTTPS_HOST_STATUS_FIXED_SIZE - 1;
constexpr uint32_t kMaxPorts =
    (DriverCommand::kRecordRoom - ZORVANE_PORT_OPTIONS_FIXED_SIZE) / sizeof(uint16_t);
constexpr uint32_t kMaxListedPorts =
    (DriverCommand::kRecordRoom - ZORVANE_PORT_LIST_FIXED_SIZE) / sizeof(uint16_t);

}  // namespace

DriverCommand::DriverCommand(uint32_t code) {
    setArgument(kArgCommandId, ArgumentBlock::fromUint32(code));
}

ArgumentBlock DriverCommand::fromUint16(uint16_t value) {
    char bytes[2];
    StoreLe16(bytes, value);
    return ArgumentBlock(bytes, sizeof(bytes));
}

uint32_t DriverCommand::argumentValue(int index) const {
    const ArgumentBlock* block = getArgumentForIndex(index);
    return block ? block->asUint32() : 0;
}

uint16_t DriverCommand::argument16(int index) const {
    const ArgumentBlock* block = getArgumentForIndex(index);
    return block && block->size() >= 2 ? LoadLe16(block->data()) : 0;
}

uint32_t DriverCommand::getLength() const {
    return LoadLe32(mpBuff + offsetof(ZorvaneIoctlArgument, length));
}

char* DriverCommand::record() {
    return mpBuff + offsetof(ZorvaneIoctlArgument, argument);
}

char* DriverCommand::finish(uint32_t length) {
    StoreLe32(mpBuff + offsetof(ZorvaneIoctlArgument, length), length);
    return mpBuff;
}

// Every 8-byte record is the token and one value at the same place.
static_assert(offsetof(ZorvaneEnableFiltering, enableFiltering) ==
                      offsetof(ZorvaneDeviceDetails, deviceId) &&
                  offsetof(ZorvaneDeviceDetails, deviceId) ==
                      offsetof(ZorvaneExceptionIpDetails, ip) &&
                  offsetof(ZorvaneExceptionIpDetails, ip) == offsetof(ZorvaneChildDetails, childId),
              "token-and-value records share one layout");

char* DriverCommand::buildTokenAndValue() {
    char* out = record();
    StoreLe32(FIELD(out, ZorvaneChildDetails, authToken), currentAuthToken());
    StoreLe32(FIELD(out, ZorvaneChildDetails, childId), argumentValue(kArgValue));
    return finish(sizeof(ZorvaneChildDetails));
}

char* DriverCommand::getModuleVersionCommandArgs() {
    memset(record(), 0, sizeof(ZorvaneModuleVersion));
    return finish(sizeof(ZorvaneModuleVersion));
}

char* DriverCommand::getUserDetailsCommandArgs() {
    const ArgumentBlock* sid = getArgumentForIndex(kArgSid);
    const int length = static_cast<int>(argumentValue(kArgSidLength));
    if (!sid || length < 0 || static_cast<size_t>(length) > sid->size() ||
        static_cast<uint32_t>(length) > kMaxSidText) {
        Logger::instance()->out(LOGLEVEL_ERROR, "DriverCommand sid does not fit (%d)\n", length);
        return nullptr;
    }
    char* out = record();
    StoreLe32(FIELD(out, ZorvaneSysUserDetails, authToken), currentAuthToken());
    StoreLe32(FIELD(out, ZorvaneSysUserDetails, childId), argumentValue(kArgSidChildId));
    StoreLe16(FIELD(out, ZorvaneSysUserDetails, curr), argument16(kArgSidCurr));
    StoreLe16(FIELD(out, ZorvaneSysUserDetails, total), argument16(kArgSidTotal));
    char* text = FIELD(out, ZorvaneSysUserDetails, sid);
    memcpy(text, sid->data(), static_cast<size_t>(length));
    text[length] = 0;
    return finish(ZORVANE_SYS_USER_FIXED_SIZE + static_cast<uint32_t>(length) + 1);
}

char* DriverCommand::getEnableFilterCommandArgs() {
    return buildTokenAndValue();
}

char* DriverCommand::getPortOptionsCommandArgs() {
    const int count = static_cast<int>(argumentValue(kArgPortCount));
    const ArgumentBlock* ports = getArgumentForIndex(kArgPorts);
    const size_t available = ports ? ports->size() / sizeof(uint16_t) : 0;
    if (count < 0 || static_cast<uint32_t>(count) > kMaxPorts ||
        static_cast<size_t>(count) > available) {
        Logger::instance()->out(LOGLEVEL_ERROR, "DriverCommand port list does not fit (%d)\n",
                                count);
        return nullptr;
    }
    char* out = record();
    StoreLe32(FIELD(out, ZorvanePortOptions, authToken), currentAuthToken());
    StoreLe32(FIELD(out, ZorvanePortOptions, block), argumentValue(kArgBlock));
    StoreLe32(FIELD(out, ZorvanePortOptions, nPorts), static_cast<uint32_t>(count));
    if (count > 0) {
        memcpy(FIELD(out, ZorvanePortOptions, ports), ports->data(),
               static_cast<size_t>(count) * sizeof(uint16_t));
    }
    return finish(ZORVANE_PORT_OPTIONS_FIXED_SIZE +
                  static_cast<uint32_t>(count) * sizeof(uint16_t));
}

char* DriverCommand::getPortListCommandArgs(uint32_t nPorts) {
    if (nPorts > kMaxListedPorts) {
        Logger::instance()->out(LOGLEVEL_ERROR, "DriverCommand port list does not fit (%u)\n",
                                nPorts);
        return nullptr;
    }
    const uint32_t length = ZORVANE_PORT_LIST_FIXED_SIZE + nPorts * sizeof(uint16_t);
    char* out = record();
    memset(out, 0, length);
    StoreLe32(FIELD(out, ZorvanePortList, authToken), currentAuthToken());
    StoreLe32(FIELD(out, ZorvanePortList, maxPorts), nPorts);
    return finish(length);
}

char* DriverCommand::getServerDetailsCommandArgs() {
    char* out = record();
    StoreLe32(FIELD(out, ZorvaneServerDetails, authToken), currentAuthToken());
    StoreLe32(FIELD(out, ZorvaneServerDetails, address), argumentValue(kArgAddress));
    StoreLe32(FIELD(out, ZorvaneServerDetails, altAddress), argumentValue(kArgAltAddress));
    StoreLe16(FIELD(out, ZorvaneServerDetails, port), argument16(kArgPort));
    StoreLe16(FIELD(out, ZorvaneServerDetails, altPort), argument16(kArgAltPort));
    return finish(sizeof(ZorvaneServerDetails));
}

char* DriverCommand::getStatusCommandArgs() {
    char* out = record();
    StoreLe32(FIELD(out, ZorvaneModuleStatus, authToken), currentAuthToken());
    StoreLe32(FIELD(out, ZorvaneModuleStatus, enabled), 0);
    return finish(sizeof(ZorvaneModuleStatus));
}

char* DriverCommand::getHttpsOptionsCommandArgs() {
    const ArgumentBlock* host = getArgumentForIndex(kArgHost);
    // The text may or may not carry its NUL; it ends at the first one.
    const size_t length = host ? strnlen(host->data(), host->size()) : 0;
    if (!host || length > kMaxHostText) {
        Logger::instance()->out(LOGLEVEL_ERROR, "DriverCommand host does not fit (%d)\n",
                                static_cast<int>(length));
        return nullptr;
    }
    char* out = record();
    StoreLe32(FIELD(out, ZorvaneHttpsHostStatus, authToken), currentAuthToken());
    StoreLe32(FIELD(out, ZorvaneHttpsHostStatus, status), argumentValue(kArgHostStatus));
    StoreLe32(FIELD(out, ZorvaneHttpsHostStatus, childId), argumentValue(kArgHostChildId));
    char* text = FIELD(out, ZorvaneHttpsHostStatus, host);
    memcpy(text, host->data(), length);
    text[length] = 0;
    return finish(ZORVANE_HTTPS_HOST_STATUS_FIXED_SIZE + static_cast<uint32_t>(length) + 1);
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
    if (getCode() == ZORVANE_IOCTL_GET_VERSION && getLength() >= sizeof(ZorvaneModuleVersion)) {
        response->setArgument(
            2, ArgumentBlock::fromUint32(LoadLe32(FIELD(reply, ZorvaneModuleVersion, majVer))));
        response->setArgument(
            3, ArgumentBlock::fromUint32(LoadLe32(FIELD(reply, ZorvaneModuleVersion, minVer))));
    } else if (getCode() == ZORVANE_IOCTL_GET_MODULE_STATUS &&
               getLength() >= sizeof(ZorvaneModuleStatus)) {
        response->setArgument(
            2, ArgumentBlock::fromUint32(LoadLe32(FIELD(reply, ZorvaneModuleStatus, enabled))));
    }
    return response;
}

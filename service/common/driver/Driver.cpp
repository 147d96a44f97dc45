#include "driver/Driver.h"

#include <vector>

#include "driver/DriverCommand.h"
#include "base/Logger.h"
#include "zorvane_ioctl.h"

Driver::~Driver() {
    forget(this);
}

void Driver::setConfigurator(Configurator configurator) {
    std::lock_guard<std::mutex> lock(mConfiguratorLock);
    mConfigurator = std::move(configurator);
}

int Driver::configure() {
    Configurator configurator;
    {
        std::lock_guard<std::mutex> lock(mConfiguratorLock);
        configurator = mConfigurator;
    }
    return configurator ? configurator(*this) : 1;
}

int Driver::sendCode(uint32_t code, std::initializer_list<ArgumentBlock> args) {
    DriverCommand command(code);
    int index = 2;
    for (const ArgumentBlock& arg : args) {
        command.setArgument(index++, arg);
    }
    return sendCommand(&command) == 1 ? 1 : 0;
}

int Driver::setFilterStatus(int enable) {
    return sendCode(ZORVANE_IOCTL_ENABLE_FILTER,
                    {ArgumentBlock::fromUint32(static_cast<uint32_t>(enable))});
}

int Driver::setFilterDevice(uint32_t deviceId) {
    return sendCode(ZORVANE_IOCTL_SET_DEVICE_CMD, {ArgumentBlock::fromUint32(deviceId)});
}

int Driver::setFilterAddress(uint32_t address, uint32_t altAddress, uint16_t port,
                             uint16_t altPort) {
    return sendCode(ZORVANE_IOCTL_SET_SERVER_ADDRESS,
                    {ArgumentBlock::fromUint32(address), ArgumentBlock::fromUint32(altAddress),
                     DriverCommand::fromUint16(port), DriverCommand::fromUint16(altPort)});
}

int Driver::setCurrentChildUser(uint32_t childId) {
    return sendCode(ZORVANE_IOCTL_SET_CURRENT_USER_CMD, {ArgumentBlock::fromUint32(childId)});
}

int Driver::setRedirectPid(uint32_t pid) {
    return sendCode(ZORVANE_IOCTL_SET_REDIRECT_PID_CMD, {ArgumentBlock::fromUint32(pid)});
}

int Driver::setWindowsVersion(int version) {
    return sendCode(ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD,
                    {ArgumentBlock::fromUint32(static_cast<uint32_t>(version))});
}

int Driver::setFilterSysUserMap(const char* sid, int length, uint32_t childId, uint16_t total,
                                uint16_t curr) {
    if (!sid || length < 0) {
        return 0;
    }
    // length + 1 bytes: the SID's characters up to its end, NUL padding, and
    // a terminator at `length`.
    std::vector<char> text(static_cast<size_t>(length) + 1, 0);
    for (int i = 0; i < length && sid[i] != 0; ++i) {
        text[static_cast<size_t>(i)] = sid[i];
    }
    return sendCode(ZORVANE_IOCTL_SET_USER,
                    {ArgumentBlock(text.data(), text.size()),
                     ArgumentBlock::fromUint32(static_cast<uint32_t>(length)),
                     ArgumentBlock::fromUint32(childId), DriverCommand::fromUint16(total),
                     DriverCommand::fromUint16(curr)});
}

int Driver::setSysZorvUserMap(const SysZorvUserMap& userMap) {
    if (userMap.empty()) {
        return 1;
    }
    const auto total = static_cast<uint16_t>(userMap.size());
    uint16_t curr = 1;
    for (const auto& [sid, childId] : userMap) {
        Logger::instance()->out(LOGLEVEL_INFO, "setSysZorvUserMap %s %d\n", sid.c_str(),
                                static_cast<int>(childId));
        if (setFilterSysUserMap(sid.c_str(), static_cast<int>(sid.size()), childId, total, curr) !=
            1) {
            return 0;
        }
        ++curr;
    }
    return 1;
}

int Driver::disableFilter() {
    return setFilterSysUserMap(" ", 2, 0, 1, 1);
}

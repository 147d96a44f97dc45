#include "ControlDeviceDriver.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "Bytes.h"
#include "CommandFactory.h"
#include "DriverCommand.h"
#include "Logger.h"
#include "NotifyCodes.h"
#include "NotifyCommand.h"
#include "zorvane_ioctl.h"

namespace {

// The output room after the buffer's length field: a reply can never write
// past the 512-byte buffer.
constexpr uint32_t kOutputRoom = ControlDeviceDriver::kReadSize - 4;

}  // namespace

ControlDeviceDriver::ControlDeviceDriver(const char* name) : mName(name) {}

ControlDeviceDriver::~ControlDeviceDriver() {
    closeHandles();
}

void ControlDeviceDriver::initialize() {
    int errCode = 0;
    if (Load(errCode) == 1) {
        mStatus = DRIVER_LOADED;
    }
}

void ControlDeviceDriver::closeHandles() {
    Handle ioctl;
    Handle read;
    {
        std::lock_guard<std::mutex> lock(mHandleLock);
        ioctl = std::move(mIoctlDeviceHandle);
        read = std::move(mReadDeviceHandle);
    }
    // A reader still waiting on the old handle keeps it until it returns.
    if (read) {
        read->cancel();
    }
}

ControlDeviceDriver::Handle ControlDeviceDriver::ioctlHandle() {
    std::lock_guard<std::mutex> lock(mHandleLock);
    return mIoctlDeviceHandle;
}

int ControlDeviceDriver::Load(int& errCode) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "%s::Load()\n", mName);
    int ret = loadAndStart(errCode);
    log->out(LOGLEVEL_ERROR, "%s::Load() loadAndStart ret %d %d\n", mName, ret, errCode);
    if (ret == 0) {
        log->out(LOGLEVEL_ERROR, "%s::Load() loadAndStart failed %d\n", mName, errCode);
        return 0;
    }

    // The previous handles go first. A read still waiting on the old read
    // handle keeps it open until it returns, so the record it takes is
    // still handled.
    std::lock_guard<std::mutex> lock(mHandleLock);
    mIoctlDeviceHandle.reset();
    mReadDeviceHandle.reset();
    std::unique_ptr<ControlDeviceHandle> ioctl = openDevice(errCode);
    if (!ioctl) {
        log->out(LOGLEVEL_ERROR, "mIoctlDeviceHandle creation failed %d\n", errCode);
        return 0;
    }
    mIoctlDeviceHandle = std::move(ioctl);
    log->out(LOGLEVEL_INFO, "mIoctlDeviceHandle is valid\n");
    std::unique_ptr<ControlDeviceHandle> read = openDevice(errCode);
    if (!read) {
        log->out(LOGLEVEL_ERROR, "mReadDeviceHandle creation failed %d\n", errCode);
        return 0;
    }
    mReadDeviceHandle = std::move(read);
    return 1;
}

int ControlDeviceDriver::UnLoad() {
    stopAndUnload();
    closeHandles();
    return 1;
}

int ControlDeviceDriver::status(int& errCode) {
    Logger* log = Logger::instance();
    std::lock_guard<std::mutex> buffLock(mBuffLock);
    getModuleVersionCommandArgs();
    if (Load(errCode) == 1 && sendIoctl(ZORVANE_IOCTL_GET_VERSION, mpBuff) == 1 &&
        readLe32(mpBuff) >= sizeof(ZorvaneModuleVersion)) {
        log->out(LOGLEVEL_INFO, "%s::status driver version %d.%d\n", mName,
                 static_cast<int>(readLe32(mpBuff + 4)), static_cast<int>(readLe32(mpBuff + 8)));
        mStatus = DRIVER_WORKING;
    }
    log->out(LOGLEVEL_INFO, "%s::status %d\n", mName, errCode);
    return mStatus;
}

int ControlDeviceDriver::sendIoctl(uint32_t code, char* buffer) {
    Logger* log = Logger::instance();
    Handle handle = ioctlHandle();
    if (!handle) {
        log->out(LOGLEVEL_ERROR, "Module devfd is invalid\n");
        return 0;
    }
    uint32_t returned = 0;
    int error = 0;
    bool ok = handle->control(code, buffer + 4, readLe32(buffer), kOutputRoom, returned, error);
    writeLe32(buffer, returned);
    if (ok) {
        log->out(LOGLEVEL_INFO, "IOCTL successful cmd=%d retBytes=%d\n", static_cast<int>(code),
                 static_cast<int>(returned));
        return 1;
    }
    log->out(LOGLEVEL_ERROR, "Module ioctl failed. cmd=%d rc=%d, errno:%d\n",
             static_cast<int>(code), 0, error);
    return 0;
}

void ControlDeviceDriver::getModuleVersionCommandArgs() {
    memset(mpBuff, 0, 12);
    writeLe32(mpBuff, 8);
}

void ControlDeviceDriver::getChallengeCommandArgs() {
    memset(mpBuff, 0, 8);
    writeLe32(mpBuff, 4);
}

void ControlDeviceDriver::getSendResponseCommandArgs(uint32_t challenge) {
    writeLe32(mpBuff, 4);
    writeLe32(mpBuff + 4, challenge);
}

int ControlDeviceDriver::sendAuthSequence() {
    std::lock_guard<std::mutex> buffLock(mBuffLock);
    getChallengeCommandArgs();
    if (sendIoctl(ZORVANE_IOCTL_GET_CHALLENGE, mpBuff) != 1 ||
        readLe32(mpBuff) != sizeof(ZorvaneChallenge)) {
        return 0;
    }
    const uint32_t challenge = readLe32(mpBuff + 4);
    // The response is the challenge itself.
    getSendResponseCommandArgs(challenge);
    if (sendIoctl(ZORVANE_IOCTL_SEND_RESPONSE, mpBuff) != 1 ||
        readLe32(mpBuff) != sizeof(ZorvaneResponseResult) ||
        static_cast<uint8_t>(mpBuff[4]) != ZORVANE_RESPONSE_ACCEPTED) {
        return 0;
    }
    mAuthToken = challenge;
    return 1;
}

int ControlDeviceDriver::sendCommand(Command* cmd) {
    Logger* log = Logger::instance();
    auto* command = dynamic_cast<DriverCommand*>(cmd);
    char* buffer = nullptr;
    if (!command || command->getCommandBuffer(&buffer) == 0 || !buffer) {
        log->out(LOGLEVEL_ERROR, "driver::getCommandBuffer failed\n");
        return 0;
    }
    const uint32_t code = command->getCode();
    if (sendIoctl(code, buffer) == 1) {
        return 1;
    }
    log->out(LOGLEVEL_ERROR, "ioctl failed so redo auth sequence\n");
    if (sendAuthSequence() != 1) {
        return 0;
    }
    // The failed call overwrote the length: build the record again.
    if (command->getCommandBuffer(&buffer) == 0) {
        return 0;
    }
    return sendIoctl(code, buffer) == 1 ? 1 : 0;
}

std::unique_ptr<char[]> ControlDeviceDriver::readDevice() {
    Handle handle;
    {
        std::lock_guard<std::mutex> lock(mHandleLock);
        handle = mReadDeviceHandle;
    }
    if (!handle) {
        return nullptr;
    }
    auto buffer = std::make_unique<char[]>(kReadSize);
    memset(buffer.get(), 0, kReadSize);
    uint32_t returned = 0;
    int error = 0;
    if (!handle->read(buffer.get(), kReadSize, returned, error)) {
        Logger::instance()->out(LOGLEVEL_ERROR, "device read failed %d\n", error);
        return nullptr;
    }
    return buffer;
}

void ControlDeviceDriver::pauseAfterFailedRead() {
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

std::unique_ptr<Command> ControlDeviceDriver::waitForCommand() {
    std::unique_ptr<char[]> buffer = readDevice();
    if (!buffer) {
        // Back to the reader thread after a pause, so it can see a stop.
        pauseAfterFailedRead();
        return nullptr;
    }
    Logger* log = Logger::instance();
    const uint32_t cmd = readLe32(buffer.get());
    if (cmd == static_cast<uint32_t>(E_ZorvaneModuleReadCommand::ZORVANE_READ_CHECK_EXIT_CMD)) {
        log->out(LOGLEVEL_INFO, "ZORVANE_READ_CHECK_EXIT_CMD\n");
        return nullptr;
    }
    log->out(LOGLEVEL_INFO, "Driver read command %d\n", static_cast<int>(cmd));
    return CommandFactory::create(buffer.get(), static_cast<int>(kReadSize));
}

int ControlDeviceDriver::NotifyDriverFail(int errCode) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "%s::NotifyDriverFail %d\n", mName, errCode);
    char message[12];
    writeLe32(message, NOTIFY_DRIVER_ERROR);
    writeLe32(message + 4, 0);
    writeLe32(message + 8, static_cast<uint32_t>(errCode));
    NotifyCommand command(message, static_cast<int>(sizeof(message)));
    std::unique_ptr<CommandResponse> response = command.execute();
    const int result = response ? response->getStatus() : 0;
    log->out(LOGLEVEL_INFO, "%s::NotifyDriverFail status %d\n", mName, result);
    return result;
}

#include "driver/ControlDeviceDriver.h"

#include <chrono>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <thread>

#include "zorvane_bytes.h"
#include "commands/CommandFactory.h"
#include "driver/DriverCommand.h"
#include "driver/DriverSetup.h"
#include "base/Logger.h"
#include "notifier/NotifyCodes.h"
#include "commands/NotifyCommand.h"
#include "port/ServiceControl.h"
#include "zorvane_ioctl.h"

namespace {

// The output room after the buffer's length field: a reply can never write
// past the control buffer.
constexpr uint32_t kOutputRoom = sizeof(ZorvaneIoctlArgument::argument);
constexpr size_t kLengthAt = offsetof(ZorvaneIoctlArgument, length);
constexpr size_t kRecordAt = offsetof(ZorvaneIoctlArgument, argument);

// The reader's pause after a failed read grows from the first to the
// longest while the device stays away.
constexpr std::chrono::milliseconds kFirstReadPause{100};
constexpr std::chrono::milliseconds kLongestReadPause{2000};

// Set while this thread sends the configuration of a just-opened device: a
// code that fails then does not open the device once more from inside.
thread_local bool tConfiguring = false;

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
    // Nothing to configure yet: the service configures the filter at start.
    mSettledGeneration = generation();
}

void ControlDeviceDriver::closeHandles() {
    Handle ioctl;
    Handle read;
    {
        std::lock_guard<std::mutex> lock(mHandleLock);
        ioctl = std::move(mIoctlDeviceHandle);
        read = std::move(mReadDeviceHandle);
        mClosed = true;
    }
    // A reader still waiting on the old handle keeps it until it returns.
    if (read) {
        read->cancel();
    }
}

uint64_t ControlDeviceDriver::generation() {
    std::lock_guard<std::mutex> lock(mHandleLock);
    return mGeneration;
}

void ControlDeviceDriver::configureOpened() {
    const uint64_t opened = generation();
    if (tConfiguring || mSettledGeneration == opened) {
        return;
    }
    tConfiguring = true;
    const int configured = configure();
    tConfiguring = false;
    mSettledGeneration = opened;
    if (configured == 0) {
        Logger::instance()->out(LOGLEVEL_ERROR, "%s configuration of the opened device failed\n",
                                mName);
    }
}

void ControlDeviceDriver::ensureConfigured() {
    if (tConfiguring || mSettledGeneration == generation()) {
        return;
    }
    // The thread that opened the device holds the lock until it configured it.
    std::lock_guard<std::recursive_mutex> lock(DriverSetup::configurationLock());
    configureOpened();
}

bool ControlDeviceDriver::reopenAfterFailure(uint64_t failed) {
    if (tConfiguring) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(DriverSetup::configurationLock());
    {
        std::lock_guard<std::mutex> handles(mHandleLock);
        if (mClosed) {
            return false;
        }
        if (mGeneration != failed && mIoctlDeviceHandle && mReadDeviceHandle) {
            // Another thread opened it meanwhile, and configured it under
            // the lock this thread now holds.
            return true;
        }
    }
    Logger::instance()->out(LOGLEVEL_WARN, "%s control device lost - opening it again\n", mName);
    int errCode = 0;
    if (Load(errCode) != 1) {
        return false;
    }
    configureOpened();
    return true;
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
    mClosed = false;
    mIoctlDeviceHandle.reset();
    mReadDeviceHandle.reset();
    std::unique_ptr<ControlDeviceHandle> ioctl = openDevice(errCode);
    if (!ioctl) {
        log->out(LOGLEVEL_ERROR, "mIoctlDeviceHandle creation failed %d\n", errCode);
        return 0;
    }
    mIoctlDeviceHandle = std::move(ioctl);
    // A new handle may reach a filter that knows nothing yet.
    ++mGeneration;
    log->out(LOGLEVEL_INFO, "mIoctlDeviceHandle is valid\n");
    std::unique_ptr<ControlDeviceHandle> read = openDevice(errCode);
    if (!read) {
        log->out(LOGLEVEL_ERROR, "mReadDeviceHandle creation failed %d\n", errCode);
        return 0;
    }
    mReadDeviceHandle = std::move(read);
    return 1;
}

int ControlDeviceDriver::loadAndStart(int& errCode) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "driver location %s\n", driverLocation().c_str());
    int error = 0;
    std::unique_ptr<ServiceControl> manager = ServiceControl::connect(error);
    if (!manager) {
        if (mayRunUnmanaged()) {
            log->out(LOGLEVEL_INFO, "no service manager; expecting the filter host to run\n");
            return 1;
        }
        errCode = error;
        log->out(LOGLEVEL_ERROR, "Open SC Manager failed! Error = %d \n", errCode);
        return 0;
    }
    int ret = 0;
    if (!manager->openService(kServiceName, error)) {
        if (!mayRunUnmanaged()) {
            errCode = error;
            log->out(LOGLEVEL_ERROR, "OpenService failed!  Error = %d \n", errCode);
            return 0;
        }
        log->out(LOGLEVEL_INFO, "filter host service not installed (%d); expecting it to run\n",
                 error);
        ret = 1;
    } else if (manager->startService(error)) {
        ret = 1;
    } else {
        errCode = error;
        log->out(LOGLEVEL_ERROR, "StartService failure! Error = %d\n", error);
    }
    log->out(LOGLEVEL_INFO, "%s::startDriver ret %d\n", mName, ret);
    return ret;
}

void ControlDeviceDriver::stopAndUnload() {
    Logger* log = Logger::instance();
    int error = 0;
    std::unique_ptr<ServiceControl> manager = ServiceControl::connect(error);
    if (!manager) {
        if (!mayRunUnmanaged()) {
            log->out(LOGLEVEL_WARN, "Open SC Manager failed! Error = %d \n", error);
        }
        return;
    }
    if (!manager->openService(kServiceName, error)) {
        if (!mayRunUnmanaged()) {
            log->out(LOGLEVEL_ERROR, "OpenService failed!  Error = %d \n", error);
        }
        return;
    }
    if (!manager->stopService(error)) {
        log->out(LOGLEVEL_ERROR, "stop service failed!  Error = %d \n", error);
    }
}

int ControlDeviceDriver::UnLoad() {
    stopAndUnload();
    closeHandles();
    return 1;
}

int ControlDeviceDriver::status(int& errCode) {
    Logger* log = Logger::instance();
    std::lock_guard<std::recursive_mutex> configuration(DriverSetup::configurationLock());
    const int loaded = Load(errCode);
    if (loaded == 1) {
        configureOpened();
    }
    std::lock_guard<std::mutex> step(mStepLock);
    getModuleVersionCommandArgs();
    if (loaded == 1 && sendIoctl(ZORVANE_IOCTL_GET_VERSION, mpBuff) == 1 &&
        LoadLe32(mpBuff + kLengthAt) >= sizeof(ZorvaneModuleVersion)) {
        const char* version = mpBuff + kRecordAt;
        log->out(LOGLEVEL_INFO, "%s::status driver version %d.%d\n", mName,
                 static_cast<int>(LoadLe32(version + offsetof(ZorvaneModuleVersion, majVer))),
                 static_cast<int>(LoadLe32(version + offsetof(ZorvaneModuleVersion, minVer))));
        mStatus = DRIVER_WORKING;
    }
    log->out(LOGLEVEL_INFO, "%s::status %d\n", mName, errCode);
    return mStatus;
}

int ControlDeviceDriver::sendIoctl(uint32_t code, char* buffer, uint64_t* generation) {
    Logger* log = Logger::instance();
    Handle handle;
    {
        std::lock_guard<std::mutex> lock(mHandleLock);
        handle = mIoctlDeviceHandle;
        if (generation) {
            *generation = mGeneration;
        }
    }
    if (!handle) {
        log->out(LOGLEVEL_ERROR, "Module devfd is invalid\n");
        return 0;
    }
    uint32_t returned = 0;
    int error = 0;
    bool ok = handle->control(code, buffer + kRecordAt, LoadLe32(buffer + kLengthAt), kOutputRoom,
                              returned, error);
    StoreLe32(buffer + kLengthAt, returned);
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
    memset(mpBuff + kRecordAt, 0, sizeof(ZorvaneModuleVersion));
    StoreLe32(mpBuff + kLengthAt, sizeof(ZorvaneModuleVersion));
}

void ControlDeviceDriver::getChallengeCommandArgs() {
    memset(mpBuff + kRecordAt, 0, sizeof(ZorvaneChallenge));
    StoreLe32(mpBuff + kLengthAt, sizeof(ZorvaneChallenge));
}

void ControlDeviceDriver::getSendResponseCommandArgs(uint32_t challenge) {
    StoreLe32(mpBuff + kLengthAt, sizeof(ZorvaneResponse));
    StoreLe32(mpBuff + kRecordAt + offsetof(ZorvaneResponse, response), challenge);
}

ControlDeviceDriver::SendResult ControlDeviceDriver::sendAuthSequence(uint64_t& generation) {
    getChallengeCommandArgs();
    // The filter answers every challenge: a failed one means no device.
    if (sendIoctl(ZORVANE_IOCTL_GET_CHALLENGE, mpBuff, &generation) != 1) {
        return SendResult::kNoDevice;
    }
    if (LoadLe32(mpBuff + kLengthAt) != sizeof(ZorvaneChallenge)) {
        return SendResult::kRefused;
    }
    const uint32_t challenge =
        LoadLe32(mpBuff + kRecordAt + offsetof(ZorvaneChallenge, challenge));
    // The response is the challenge itself.
    getSendResponseCommandArgs(challenge);
    if (sendIoctl(ZORVANE_IOCTL_SEND_RESPONSE, mpBuff) != 1 ||
        LoadLe32(mpBuff + kLengthAt) != sizeof(ZorvaneResponseResult) ||
        static_cast<uint8_t>(mpBuff[kRecordAt + offsetof(ZorvaneResponseResult, result)]) !=
            ZORVANE_RESPONSE_ACCEPTED) {
        return SendResult::kRefused;
    }
    setAuthToken(challenge);
    return SendResult::kSent;
}

ControlDeviceDriver::SendResult ControlDeviceDriver::sendOnce(DriverCommand& command,
                                                              uint64_t& generation) {
    char* buffer = nullptr;
    const uint32_t code = command.getCode();
    if (command.getCommandBuffer(&buffer) == 0 || !buffer) {
        return SendResult::kRefused;
    }
    if (sendIoctl(code, buffer, &generation) == 1) {
        return SendResult::kSent;
    }
    Logger::instance()->out(LOGLEVEL_ERROR, "ioctl failed so redo auth sequence\n");
    std::lock_guard<std::mutex> step(mStepLock);
    const SendResult opened = sendAuthSequence(generation);
    if (opened != SendResult::kSent) {
        return opened;
    }
    // The failed call overwrote the length: build the record again.
    if (command.getCommandBuffer(&buffer) == 0) {
        return SendResult::kRefused;
    }
    return sendIoctl(code, buffer) == 1 ? SendResult::kSent : SendResult::kRefused;
}

int ControlDeviceDriver::sendCommand(Command* cmd) {
    auto* command = dynamic_cast<DriverCommand*>(cmd);
    char* buffer = nullptr;
    if (!command || command->getCommandBuffer(&buffer) == 0 || !buffer) {
        Logger::instance()->out(LOGLEVEL_ERROR, "driver::getCommandBuffer failed\n");
        return 0;
    }
    // A device just opened gets its whole configuration before this code.
    ensureConfigured();
    uint64_t generation = 0;
    SendResult result = sendOnce(*command, generation);
    if (result == SendResult::kNoDevice && reopenAfterFailure(generation)) {
        result = sendOnce(*command, generation);
    }
    return result == SendResult::kSent ? 1 : 0;
}

std::unique_ptr<char[]> ControlDeviceDriver::readDevice(uint64_t& generation) {
    Handle handle;
    {
        std::lock_guard<std::mutex> lock(mHandleLock);
        handle = mReadDeviceHandle;
        generation = mGeneration;
    }
    if (!handle) {
        return nullptr;
    }
    auto buffer = std::make_unique<char[]>(ZORVANE_READ_BUFFER_SIZE);
    memset(buffer.get(), 0, ZORVANE_READ_BUFFER_SIZE);
    uint32_t returned = 0;
    int error = 0;
    if (!handle->read(buffer.get(), ZORVANE_READ_BUFFER_SIZE, returned, error)) {
        Logger::instance()->out(LOGLEVEL_ERROR, "device read failed %d\n", error);
        return nullptr;
    }
    return buffer;
}

void ControlDeviceDriver::pauseAfterFailedRead(std::chrono::milliseconds pause) {
    std::this_thread::sleep_for(pause);
}

std::unique_ptr<Command> ControlDeviceDriver::waitForCommand() {
    uint64_t generation = 0;
    std::unique_ptr<char[]> buffer = readDevice(generation);
    if (!buffer) {
        // The filter went away: open it again now rather than at the next
        // status check, after a pause that grows while it stays away. Then
        // back to the reader thread, so it can see a stop.
        mReadPause = mReadPause.count() == 0 ? kFirstReadPause
                                             : std::min(mReadPause * 2, kLongestReadPause);
        pauseAfterFailedRead(mReadPause);
        reopenAfterFailure(generation);
        return nullptr;
    }
    mReadPause = std::chrono::milliseconds(0);
    Logger* log = Logger::instance();
    const uint32_t cmd = LoadLe32(buffer.get() + offsetof(ZorvaneReadRecord, cmd));
    if (cmd == static_cast<uint32_t>(E_ZorvaneModuleReadCommand::ZORVANE_READ_CHECK_EXIT_CMD)) {
        log->out(LOGLEVEL_INFO, "ZORVANE_READ_CHECK_EXIT_CMD\n");
        return nullptr;
    }
    log->out(LOGLEVEL_INFO, "Driver read command %d\n", static_cast<int>(cmd));
    if (!CommandFactory::accepts(cmd, CommandChannel::kDriver)) {
        log->out(LOGLEVEL_ERROR, "command %u not accepted on the driver channel - dropped\n", cmd);
        return nullptr;
    }
    return CommandFactory::create(buffer.get(), static_cast<int>(ZORVANE_READ_BUFFER_SIZE));
}

int ControlDeviceDriver::NotifyDriverFail(int errCode) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "%s::NotifyDriverFail %d\n", mName, errCode);
    char message[12];
    StoreLe32(message, NOTIFY_DRIVER_ERROR);
    StoreLe32(message + 4, 0);
    StoreLe32(message + 8, static_cast<uint32_t>(errCode));
    NotifyCommand command(message, static_cast<int>(sizeof(message)));
    std::unique_ptr<CommandResponse> response = command.execute();
    const int result = response ? response->getStatus() : 0;
    log->out(LOGLEVEL_INFO, "%s::NotifyDriverFail status %d\n", mName, result);
    return result;
}

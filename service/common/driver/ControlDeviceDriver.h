#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "driver/Driver.h"
#include "driver/DriverCommand.h"
#include "base/String.h"
#include "zorvane_ioctl.h"

// One open handle of the filter's control device.
class ControlDeviceHandle {
public:
    virtual ~ControlDeviceHandle() = default;
    // A device control with `buffer` as input (`inputLength` bytes) and
    // output (room for `outputLength`); `returned` gets the reply's length,
    // `error` the system error on failure.
    virtual bool control(uint32_t code, char* buffer, uint32_t inputLength, uint32_t outputLength,
                         uint32_t& returned, int& error) = 0;
    virtual bool read(char* buffer, uint32_t length, uint32_t& returned, int& error) = 0;
    // Makes a read that waits on this handle return; the handle is going away.
    virtual void cancel() {}
};

// The control-device driver both platforms share: loading, the two
// handles, the lazy access-lock sequence, sending codes with one retry,
// the read channel and the failure notice. The platform class starts the
// filter's service and opens handles.
class ControlDeviceDriver : public Driver {
public:
    // The filter's service with the system's service manager.
    static constexpr const char* kServiceName = "zorvane";

    int sendCommand(Command* cmd) override;
    std::unique_ptr<Command> waitForCommand() override;
    int status(int& errCode) override;
    int Load(int& errCode) override;
    int UnLoad() override;
    int NotifyDriverFail(int errCode) override;

    int getStatus() const { return mStatus; }

protected:
    // `name` prefixes the log lines that name the class.
    explicit ControlDeviceDriver(const char* name);
    ~ControlDeviceDriver() override;

    // Runs the first Load; the platform constructor calls it once its own
    // members exist.
    void initialize();
    // Closes both handles and keeps them closed until the next Load; the
    // platform destructor calls it before its own members go.
    void closeHandles();

    // Starts the filter's service "zorvane" through the system's service
    // manager; 1 when it runs.
    int loadAndStart(int& errCode);
    void stopAndUnload();
    // Where the filter lives, for the log.
    virtual String driverLocation() const = 0;
    // Whether the filter may run without a service manager or an installed
    // service (the Linux host, started by whoever runs the system). On
    // Windows the driver is nothing without its service.
    virtual bool mayRunUnmanaged() const = 0;
    // One handle of the control device, or null with the system error.
    virtual std::unique_ptr<ControlDeviceHandle> openDevice(int& errCode) = 0;
    // The pause after a failed read, before the device is opened again, so a
    // dead device does not spin the reader thread.
    virtual void pauseAfterFailedRead(std::chrono::milliseconds pause);

private:
    using Handle = std::shared_ptr<ControlDeviceHandle>;
    enum class SendResult { kSent, kRefused, kNoDevice };

    // `generation` (when given) gets the generation of the handle used.
    int sendIoctl(uint32_t code, char* buffer, uint64_t* generation = nullptr);
    // Expects mStepLock held.
    SendResult sendAuthSequence(uint64_t& generation);
    // One sending of `command`, and when the filter refuses it, the
    // access-lock sequence and one retry.
    SendResult sendOnce(DriverCommand& command, uint64_t& generation);
    std::unique_ptr<char[]> readDevice(uint64_t& generation);
    void getModuleVersionCommandArgs();
    void getChallengeCommandArgs();
    void getSendResponseCommandArgs(uint32_t challenge);

    uint64_t generation();
    // Sends the whole configuration once per opened device. Expects the
    // configuration lock held.
    void configureOpened();
    // Waits for a device being opened by another thread to be configured,
    // or configures one opened by Load alone.
    void ensureConfigured();
    // Opens the device again after a code or a read failed on the handles of
    // `failed`, unless another thread already did; true when usable handles
    // exist afterwards.
    bool reopenAfterFailure(uint64_t failed);

    const char* mName;
    // Guards the two handle pointers, mGeneration and mClosed.
    std::mutex mHandleLock;
    Handle mIoctlDeviceHandle;
    Handle mReadDeviceHandle;
    // Counts the Loads that opened a control handle.
    uint64_t mGeneration = 0;
    // Set by closeHandles: nothing opens the device again until a Load.
    bool mClosed = false;
    // The generation whose configuration was sent (or tried); written under
    // the configuration lock.
    std::atomic<uint64_t> mSettledGeneration{0};
    // Guards mpBuff (status and the access-lock sequence) and makes the
    // sequence and the retry it was run for one step: another thread's
    // sequence in between would close the filter's lock before the retry.
    std::mutex mStepLock;
    char mpBuff[sizeof(ZorvaneIoctlArgument)] = {};
    std::atomic<int> mStatus{DRIVER_ERROR};
    // The reader thread's current pause after failed reads.
    std::chrono::milliseconds mReadPause{0};
};

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "driver/Driver.h"
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
    // Closes both handles; the platform destructor calls it before its own
    // members go.
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
    // The pause after a failed read, so a dead handle does not spin the
    // reader thread.
    virtual void pauseAfterFailedRead();

private:
    using Handle = std::shared_ptr<ControlDeviceHandle>;

    int sendIoctl(uint32_t code, char* buffer);
    int sendAuthSequence();
    std::unique_ptr<char[]> readDevice();
    void getModuleVersionCommandArgs();
    void getChallengeCommandArgs();
    void getSendResponseCommandArgs(uint32_t challenge);

    Handle ioctlHandle();

    const char* mName;
    std::mutex mHandleLock;  // guards the two handle pointers
    Handle mIoctlDeviceHandle;
    Handle mReadDeviceHandle;
    // Serialises the users of mpBuff: status and the access-lock sequence.
    std::mutex mBuffLock;
    char mpBuff[sizeof(ZorvaneIoctlArgument)] = {};
    std::atomic<int> mStatus{DRIVER_ERROR};
};

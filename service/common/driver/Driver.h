#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "base/Registered.h"
#include "commands/Command.h"
#include "settings/Settings.h"
#include "zorvane_ioctl.h"

enum E_DriverStatus { DRIVER_ERROR = 0, DRIVER_LOADED = 1, DRIVER_WORKING = 2 };

// The service's end of the filter's control device: configuration codes go
// out through sendCommand, the filter's questions and notices come back
// through waitForCommand. The platform class (WinDriver, LinuxDriver) opens
// the device and registers itself as the one instance.
class Driver : public Registered<Driver> {
public:

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Sends one DriverCommand; 1 when the filter accepted it.
    virtual int sendCommand(Command* cmd) = 0;
    // Blocks until the filter hands up a record; null when it built nothing
    // (also after a time-out or a failed read, so the caller can check
    // whether to stop).
    virtual std::unique_ptr<Command> waitForCommand() = 0;
    // Loads again and asks the version; an E_DriverStatus.
    virtual int status(int& errCode) = 0;
    // The token configuration records carry: the challenge the last access-lock
    // sequence answered (the filter's fixed challenge before any).
    uint32_t getAuthToken() const { return mAuthToken; }
    virtual ~Driver();
    virtual int Load(int& errCode) = 0;
    virtual int UnLoad() = 0;
    // Tells the users' desktops that the filter failed; the notice's status.
    virtual int NotifyDriverFail(int errCode) = 0;

    // Each returns 1 when the filter accepted the code, else 0.
    virtual int setFilterStatus(int enable);
    virtual int setFilterDevice(uint32_t deviceId);
    virtual int setFilterAddress(uint32_t address, uint32_t altAddress, uint16_t port,
                                 uint16_t altPort);
    // Replaces the filter's user and process maps in one pass (ascending SID);
    // an empty map sends nothing and returns 1.
    virtual int setSysZorvUserMap(const SysZorvUserMap& userMap);
    // Leaves only an entry that no real SID matches.
    virtual int disableFilter();
    virtual int setCurrentChildUser(uint32_t childId);
    virtual int setRedirectPid(uint32_t pid);
    virtual int setWindowsVersion(int version);
    virtual int setFilterSysUserMap(const char* sid, int length, uint32_t childId, uint16_t total,
                                    uint16_t curr);

    // What the filter is given each time its control device is (re)opened,
    // before any other code: the whole configuration; 1 when it took it.
    using Configurator = std::function<int(Driver&)>;
    void setConfigurator(Configurator configurator);

protected:
    Driver() = default;

    void setAuthToken(uint32_t token) { mAuthToken = token; }
    // Runs the configurator; 1 when there is none.
    int configure();

private:
    // Builds, sends and releases one command.
    int sendCode(uint32_t code, std::initializer_list<ArgumentBlock> args);


    std::atomic<uint32_t> mAuthToken{ZORVANE_AUTH_CHALLENGE};
    std::mutex mConfiguratorLock;  // guards mConfigurator
    Configurator mConfigurator;
};

#pragma once

#include <cstdint>
#include <mutex>

#include "base/Registered.h"
#include "base/String.h"

// The PC as the cloud knows it: the device id the cloud assigned, the device
// signature (12 lowercase hex digits of the first wired, else first wireless,
// adapter's MAC) and the computer's name. One object per process: the
// platform subclass's instance() creates it and registers it here.
class Device : public Registered<Device> {
public:
    // The registered device, or null before the platform created it.

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    virtual void setDeviceId(uint32_t id);
    virtual uint32_t getDeviceId() const;
    virtual String getDeviceSignature() const;
    virtual void setDeviceSignature(const String& signature);
    // True exactly when `signature` equals the stored one, byte for byte.
    virtual bool validateDeviceSignature(const String& signature) const;
    virtual String getSystemName() const;
    virtual ~Device() = default;

protected:
    Device() = default;

    void setSystemName(const String& name);

private:

    // Guards the three fields: sign-in sets the id while other threads read.
    mutable std::mutex mLock;
    uint32_t mDeviceId = 0;
    String mDeviceSignature;
    String mSysName;
};

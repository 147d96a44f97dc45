#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "base/Registered.h"
#include "base/String.h"
#include "system/DeviceAdapters.h"

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
    // The signature; while it is empty (a service started before the
    // adapters were up) every call reads the adapters again.
    virtual String getDeviceSignature() const;
    virtual void setDeviceSignature(const String& signature);
    // True exactly when `signature` equals the stored one, byte for byte.
    virtual bool validateDeviceSignature(const String& signature) const;
    virtual String getSystemName() const;
    virtual ~Device() = default;

protected:
    Device() = default;

    void setSystemName(const String& name);

    // The adapters as the system lists them now; false when they cannot be
    // listed at all. The platform device reads them; the base has none.
    virtual bool listAdapters(std::vector<AdapterRecord>& adapters) const;
    // Lists the adapters and takes the signature they give (none: empty);
    // false when they cannot be listed.
    bool readAdapters() const;

private:
    // Guards the fields: sign-in sets the id while other threads read.
    mutable std::mutex mLock;
    uint32_t mDeviceId = 0;
    mutable String mDeviceSignature;  // filled by a later read of the adapters
    String mSysName;
    // "eth0", "eth1", ..., "wlan0", ... to 12-digit MAC text, as last read.
    mutable std::map<String, String> mDevList;
    // Held while the adapters are read, so two threads do not read at once.
    mutable std::mutex mReadLock;
};

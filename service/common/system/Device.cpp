#include "system/Device.h"

void Device::setDeviceId(uint32_t id) {
    std::lock_guard<std::mutex> lock(mLock);
    mDeviceId = id;
}

uint32_t Device::getDeviceId() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mDeviceId;
}

String Device::getDeviceSignature() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mDeviceSignature;
}

void Device::setDeviceSignature(const String& signature) {
    std::lock_guard<std::mutex> lock(mLock);
    mDeviceSignature = signature;
}

bool Device::validateDeviceSignature(const String& signature) const {
    std::lock_guard<std::mutex> lock(mLock);
    return signature == mDeviceSignature;
}

String Device::getSystemName() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mSysName;
}

void Device::setSystemName(const String& name) {
    std::lock_guard<std::mutex> lock(mLock);
    mSysName = name;
}

#include "system/Device.h"

#include "base/Logger.h"

void Device::setDeviceId(uint32_t id) {
    std::lock_guard<std::mutex> lock(mLock);
    mDeviceId = id;
}

uint32_t Device::getDeviceId() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mDeviceId;
}

String Device::getDeviceSignature() const {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (!mDeviceSignature.empty()) {
            return mDeviceSignature;
        }
    }
    Logger::instance()->out(LOGLEVEL_WARN, "Device::getDeviceSignature reading adapters again\n");
    readAdapters();
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

bool Device::listAdapters(std::vector<AdapterRecord>& /*adapters*/) const {
    return true;
}

bool Device::readAdapters() const {
    std::lock_guard<std::mutex> reading(mReadLock);
    std::vector<AdapterRecord> adapters;
    if (!listAdapters(adapters)) {
        return false;
    }
    std::map<String, String> devList = buildAdapterMap(adapters);
    String signature = chooseDeviceSignature(devList);
    std::lock_guard<std::mutex> lock(mLock);
    mDevList = std::move(devList);
    // One stored meanwhile (the settings file's) stays.
    if (mDeviceSignature.empty()) {
        mDeviceSignature = signature;
    }
    return true;
}

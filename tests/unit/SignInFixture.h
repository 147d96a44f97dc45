#pragma once

// A sign-in against a test cloud with a device of the test's: the cloud's
// configuration, the process's settings record and the registered device
// come back as they were.

#include <gtest/gtest.h>

#include "cloud/CloudConfig.h"
#include "settings/Settings.h"
#include "system/Device.h"

template <typename TestDevice>
class SignInFixture : public testing::Test {
protected:
    void SetUp() override {
        mSavedConfig = CloudConfig::current();
        clearSettings();
        // The only device, also where sign-in looks when the settings' has
        // no signature.
        mSavedDevice = Device::instance();
        Device::registerInstance(&mDevice);
        Settings::instance()->setDeviceInfo(&mDevice);
    }
    void TearDown() override {
        CloudConfig::install(mSavedConfig);
        clearSettings();
        Settings::instance()->setDeviceInfo(nullptr);
        Device::registerInstance(mSavedDevice);
    }
    static void clearSettings() {
        Settings* settings = Settings::instance();
        settings->setAdminInfo(nullptr);
        settings->setConnectionInfo(nullptr);
        settings->setChildList({});
    }

    CloudConfig mSavedConfig;
    Device* mSavedDevice = nullptr;
    TestDevice mDevice;
};

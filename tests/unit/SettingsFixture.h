#pragma once

// The settings record on a store and device of the test's own, for the
// settings tests of every platform.

#include <gtest/gtest.h>

#include <memory>

#include "TestSupport.h"
#include "settings/FileStore.h"
#include "settings/Settings.h"
#include "system/Device.h"

inline constexpr char kDigest[] = "5f4dcc3b5aa765d61d8327deb882cf99";

// A device the test controls, outside the process singleton.
class SettingsTestDevice : public Device {
public:
    SettingsTestDevice() = default;
};

class SettingsTest : public testing::Test {
protected:
    SettingsTest() : store(dir.file("zorvane.cred"), FileStore::PRIVATE) {}

    // A settings record on `device` (and on the test's store).
    std::unique_ptr<Settings> newSettings(Device& onDevice) {
        auto settings = std::make_unique<Settings>(&store);
        settings->setDeviceInfo(&onDevice);
        return settings;
    }

    static void fill(Settings& settings, Device& onDevice, bool withAlternate = false) {
        auto conn = std::make_shared<ConnectionInfo>();
        conn->setAuthServer("https://auth.example/cgi-bin/auth");
        conn->setFilterServer("https://filter.example/zorv");
        conn->setFilterServerPort(8080);
        if (withAlternate) {
            conn->setAlternateFilterServer("https://alt.example/zorv");
            conn->setAlternateFilterServerPort(60443);
        }
        settings.setConnectionInfo(conn);
        auto admin = std::make_shared<AdminInfo>();
        admin->setUser("parent@example.com");
        admin->setPassword(kDigest);
        settings.setAdminInfo(admin);
        onDevice.setDeviceId(4711);
        onDevice.setDeviceSignature("0a1b2c3d4e5f");
    }

    static ChildInfo child(uint32_t id, const char* name, uint32_t level, const char* key) {
        ChildInfo info;
        info.setId(id);
        info.setName(name);
        info.setLevel(level);
        info.setSessionKey(key);
        return info;
    }

    TempDir dir;
    FileStore store;
    SettingsTestDevice device;
};

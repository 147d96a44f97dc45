// The device signature of a service started before its network adapters
// were up: read again whenever it is needed while empty, so sign-in works
// once an adapter appears. Adapters cannot be plugged in for real here; the
// device's adapter listing is the seam.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "RawHttpServer.h"
#include "SignInFixture.h"
#include "TestSupport.h"
#include "cloud/Authentication.h"
#include "cloud/CloudConfig.h"
#include "settings/Settings.h"
#include "system/Device.h"

namespace {

AdapterRecord adapter(AdapterKind kind, unsigned char last) {
    AdapterRecord record;
    record.kind = kind;
    record.hardwareAddress = {0x02, 0x00, 0x5e, 0x10, 0x20, last};
    record.name = "test adapter";
    return record;
}

// A device whose adapters the test plugs in.
class PluggableDevice : public Device {
public:
    PluggableDevice() { readAdapters(); }

    void plug(const AdapterRecord& record) {
        std::lock_guard<std::mutex> lock(mLock);
        mAdapters.push_back(record);
    }
    int listings() const {
        std::lock_guard<std::mutex> lock(mLock);
        return mListings;
    }

private:
    bool listAdapters(std::vector<AdapterRecord>& adapters) const override {
        std::lock_guard<std::mutex> lock(mLock);
        ++mListings;
        adapters = mAdapters;
        return true;
    }

    mutable std::mutex mLock;
    std::vector<AdapterRecord> mAdapters;
    mutable int mListings = 0;
};

TEST(DeviceSignature, IsReadAgainOnlyWhileEmpty) {
    PluggableDevice device;
    EXPECT_EQ(device.listings(), 1);
    EXPECT_EQ(device.getDeviceSignature(), "");
    EXPECT_EQ(device.listings(), 2);

    // A tunnel without a hardware address still gives nothing.
    AdapterRecord tunnel = adapter(AdapterKind::Ethernet, 0);
    tunnel.hardwareAddress.clear();
    device.plug(tunnel);
    EXPECT_EQ(device.getDeviceSignature(), "");

    device.plug(adapter(AdapterKind::Wireless, 0x0b));
    EXPECT_EQ(device.getDeviceSignature(), "02005e10200b");
    const int listings = device.listings();
    // Once read, it stays: a wired adapter that comes later does not change
    // the device the cloud knows.
    device.plug(adapter(AdapterKind::Ethernet, 0x0e));
    EXPECT_EQ(device.getDeviceSignature(), "02005e10200b");
    EXPECT_EQ(device.listings(), listings);

    // The settings file's signature is taken as it is.
    PluggableDevice loaded;
    loaded.setDeviceSignature("0a1b2c3d4e5f");
    loaded.plug(adapter(AdapterKind::Ethernet, 0x0e));
    EXPECT_EQ(loaded.getDeviceSignature(), "0a1b2c3d4e5f");
}

using LateAdapterSignIn = SignInFixture<PluggableDevice>;

TEST_F(LateAdapterSignIn, SignsInOnceAnAdapterAppears) {
    std::string authUrl;
    RawHttpServer cloud([&](const std::string& target) -> std::string {
        if (target.rfind("/cgi-bin/connection", 0) == 0) {
            return "ZORVANE_VERSION, 1\nFILTER, https://127.0.0.1/f\nAUTH, " + authUrl + "\n";
        }
        return "STATUS, PASSED\nNCHILDREN, 1\nDEVICEID, 42\nSESSIONID, s1\nAUTHEXPIRY, 3600\n"
               "CHILDINFO, 7; Ann; Middle School Level; key7\n";
    });
    const std::string host = "127.0.0.1:" + std::to_string(cloud.port());
    authUrl = "http://" + host + "/cgi-bin/auth";
    // Known servers, as after an earlier connection check: a connection reply
    // naming a plain-http sign-in server would be refused.
    auto connection = std::make_shared<ConnectionInfo>();
    connection->setAuthServer(String(authUrl));
    connection->setFilterServer("https://127.0.0.1/f");
    Settings::instance()->setConnectionInfo(connection);

    AdminInfo given;
    given.setUser("parent");
    given.setPassword("parent123");

    // No adapter: the sign-in stops before the cloud, nothing is stored.
    LogWatch log;
    EXPECT_NE(Authentication::instance()->doAuth(&given), AUTH_STATUS_PASSED);
    EXPECT_TRUE(log.saw("device sign is empty 2"));
    for (const std::string& request : cloud.requests()) {
        EXPECT_EQ(request.find("/cgi-bin/auth"), std::string::npos) << request;
    }
    EXPECT_EQ(Settings::instance()->getAdminInfo(), nullptr);

    mDevice.plug(adapter(AdapterKind::Ethernet, 0x01));
    EXPECT_EQ(Authentication::instance()->doAuth(&given), AUTH_STATUS_PASSED);
    const std::vector<std::string> requests = cloud.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_NE(requests.back().find("&dev=02005e102001&"), std::string::npos) << requests.back();
    // What would be saved names the device.
    EXPECT_NE(Settings::instance()->toString().find(", 02005e102001\n"), std::string::npos)
        << Settings::instance()->toString();
}

}  // namespace

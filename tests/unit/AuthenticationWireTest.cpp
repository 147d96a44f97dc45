// The two requests of a sign-in exactly as the cloud receives them: the
// connection-info query with its time zone, then the sign-in with the
// password digest, the device signature and the optional headers.

#include <gtest/gtest.h>

#include <string>

#include "cloud/Authentication.h"
#include "cloud/CloudConfig.h"
#include "system/Device.h"
#include "RawHttpServer.h"
#include "settings/Settings.h"
#include "system/SystemInfo.h"
#include "TestSupport.h"

namespace {

class FixedDevice : public Device {
public:
    FixedDevice() { setDeviceSignature("001122334455"); }
};

// The cloud's settings and the process's settings record come back as
// they were.
class AuthenticationWire : public testing::Test {
protected:
    void SetUp() override {
        mSavedConfig = CloudConfig::current();
        clearSettings();
        Settings::instance()->setDeviceInfo(&mDevice);
    }
    void TearDown() override {
        CloudConfig::install(mSavedConfig);
        clearSettings();
        Settings::instance()->setDeviceInfo(nullptr);
    }
    static void clearSettings() {
        Settings* settings = Settings::instance();
        settings->setAdminInfo(nullptr);
        settings->setConnectionInfo(nullptr);
        settings->setChildList({});
    }

    CloudConfig mSavedConfig;
    FixedDevice mDevice;
};

TEST_F(AuthenticationWire, RequestsCarryExactlyTheQueryAndHeaders) {
    std::string authUrl;
    RawHttpServer cloud([&](const std::string& target) -> std::string {
        if (target.rfind("/cgi-bin/connection", 0) == 0) {
            return "ZORVANE_VERSION, 1\nFILTER, https://127.0.0.1/f\nAUTH, " + authUrl +
                   "\nFILTER1, https://127.0.0.1/g\nPUBLICIP, 203.0.113.7\n";
        }
        return "STATUS, FAILED\n";
    });
    const std::string host = "127.0.0.1:" + std::to_string(cloud.port());
    authUrl = "http://" + host + "/cgi-bin/auth";
    CloudConfig config = mSavedConfig;
    config.connectionUrl = "http://" + host + "/cgi-bin/connection";
    config.connectionFallbackUrl = config.connectionUrl;
    CloudConfig::install(config);

    AdminInfo given;
    given.setUser("parent");
    given.setPassword("parent123");
    Authentication::instance()->doAuth(&given);

    std::string timeZone;
    for (char c : SystemInfo::timeZoneName()) {
        timeZone += c == ' ' ? std::string("\\%20") : std::string(1, c);
    }
    String digest;
    ASSERT_TRUE(Authentication::md5Hex("parent123", digest));
    std::string signInHeaders;
    if (!Authentication::getSystemName().empty()) {
        signInHeaders += "Device-Name: " + Authentication::getSystemName() + "\r\n";
    }
    signInHeaders += "Public-IP: 203.0.113.7\r\n";
    if (!Authentication::GetWindowsVersion().empty()) {
        signInHeaders += "Device-Type: " + Authentication::GetWindowsVersion() + "\r\n";
    }

    const std::vector<std::string> requests = cloud.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "GET /cgi-bin/connection?v=2.0&user=linux&timezone=" + timeZone +
                               " HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\n\r\n");
    EXPECT_EQ(requests[1], "GET /cgi-bin/auth?user=parent&passwd=" + digest +
                               "&dev=001122334455&os=netbook&version=3 HTTP/1.1\r\nHost: " + host +
                               "\r\nAccept: */*\r\n" + signInHeaders + "\r\n");
}

}  // namespace

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

// The cloud reached over plain HTTP, as a service configured for it
// explicitly.
CloudConfig plainConfig(const CloudConfig& base, const std::string& host) {
    CloudConfig config = base;
    config.connectionUrl = "http://" + host + "/cgi-bin/connection";
    config.connectionFallbackUrl = config.connectionUrl;
    return config;
}

std::string escapedTimeZone() {
    std::string timeZone;
    for (char c : SystemInfo::timeZoneName()) {
        timeZone += c == ' ' ? std::string("\\%20") : std::string(1, c);
    }
    return timeZone;
}

TEST_F(AuthenticationWire, ConnectionRequestCarriesExactlyTheQuery) {
    RawHttpServer cloud([](const std::string&) -> std::string {
        return "ZORVANE_VERSION, 1\nFILTER, https://127.0.0.1/f\nAUTH, https://127.0.0.1/a\n"
               "FILTER1, https://127.0.0.1/g\nPUBLICIP, 203.0.113.7\n";
    });
    const std::string host = "127.0.0.1:" + std::to_string(cloud.port());
    CloudConfig::install(plainConfig(mSavedConfig, host));

    ASSERT_EQ(Authentication::instance()->getConnection(), 1);

    const std::vector<std::string> requests = cloud.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET /cgi-bin/connection?v=2.0&user=linux&timezone=" +
                               escapedTimeZone() + " HTTP/1.1\r\nHost: " + host +
                               "\r\nAccept: */*\r\n\r\n");
    auto info = Settings::instance()->getConnectionInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getAuthServer(), "https://127.0.0.1/a");
    EXPECT_EQ(info->getPublicIp(), "203.0.113.7");
}

TEST_F(AuthenticationWire, SignInRequestCarriesExactlyTheQueryAndHeaders) {
    RawHttpServer cloud([](const std::string&) -> std::string { return "STATUS, FAILED\n"; });
    const std::string host = "127.0.0.1:" + std::to_string(cloud.port());
    // Installed directly: a reply naming a plain-HTTP sign-in address is
    // refused, and this test needs the request's bytes as sent.
    auto info = std::make_shared<ConnectionInfo>();
    info->setFilterServer("https://127.0.0.1/f");
    info->setAuthServer("http://" + host + "/cgi-bin/auth");
    info->setPublicIp("203.0.113.7");
    Settings::instance()->setConnectionInfo(info);

    AdminInfo given;
    given.setUser("parent");
    given.setPassword("parent123");
    Authentication::instance()->doAuth(&given);

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
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET /cgi-bin/auth?user=parent&passwd=" + digest +
                               "&dev=001122334455&os=netbook&version=3 HTTP/1.1\r\nHost: " + host +
                               "\r\nAccept: */*\r\n" + signInHeaders + "\r\n");
}

// A reply that names a plain-HTTP server is refused whole: nothing goes to
// that server and the connection info in force stays.
TEST_F(AuthenticationWire, PlainHttpServerInAReplyIsNeverUsed) {
    std::string forged;
    RawHttpServer cloud([&](const std::string& target) -> std::string {
        return target.rfind("/cgi-bin/connection", 0) == 0 ? forged : "STATUS, PASSED\n";
    });
    const std::string host = "127.0.0.1:" + std::to_string(cloud.port());
    const std::string plain = "http://" + host;
    const struct {
        const char* key;
        std::string reply;
    } cases[] = {
        {"AUTH", "ZORVANE_VERSION, 1\nFILTER, https://127.0.0.1/f\nAUTH, " + plain + "/a\n"},
        {"FILTER", "ZORVANE_VERSION, 1\nFILTER, " + plain + "/f\nAUTH, https://127.0.0.1/a\n"},
        {"FILTER1", "ZORVANE_VERSION, 1\nFILTER, https://127.0.0.1/f\nAUTH, "
                    "https://127.0.0.1/a\nFILTER1, " + plain + "/g\n"},
    };
    CloudConfig::install(plainConfig(mSavedConfig, host));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        forged = c.reply;
        const size_t before = cloud.requests().size();

        // Without connection info the sign-in has nowhere to go.
        Settings::instance()->setConnectionInfo(nullptr);
        AdminInfo given;
        given.setUser("parent");
        given.setPassword("parent123");
        LogWatch log;
        EXPECT_EQ(Authentication::instance()->doAuth(&given), AUTH_STATUS_FAILED);
        EXPECT_TRUE(log.saw(std::string("Authentication::parseConnectionData refused ") + c.key +
                            " " + plain));
        EXPECT_EQ(Settings::instance()->getConnectionInfo(), nullptr);
        EXPECT_EQ(Settings::instance()->getAdminInfo(), nullptr);

        // With connection info in force, the refused reply replaces nothing.
        auto current = std::make_shared<ConnectionInfo>();
        current->setFilterServer("https://127.0.0.1/f");
        current->setAuthServer("https://127.0.0.1/a");
        Settings::instance()->setConnectionInfo(current);
        EXPECT_EQ(Authentication::instance()->getConnection(), 0);
        EXPECT_EQ(Settings::instance()->getConnectionInfo(), current);

        const std::vector<std::string> requests = cloud.requests();
        ASSERT_EQ(requests.size(), before + 2);  // the two connection requests only
        for (size_t i = before; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i].rfind("GET /cgi-bin/connection?", 0), 0u) << requests[i];
        }
    }
}

}  // namespace

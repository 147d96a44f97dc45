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
#include "SignInFixture.h"
#include "TestSupport.h"

namespace {

class FixedDevice : public Device {
public:
    FixedDevice() { setDeviceSignature("001122334455"); }
};

using AuthenticationWire = SignInFixture<FixedDevice>;

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

// Connection info naming `cloud` as the sign-in server, installed as if
// fetched earlier.
void signInServerIs(const RawHttpServer& cloud) {
    auto info = std::make_shared<ConnectionInfo>();
    info->setFilterServer("https://127.0.0.1/f");
    info->setAuthServer("http://127.0.0.1:" + std::to_string(cloud.port()) + "/cgi-bin/auth");
    Settings::instance()->setConnectionInfo(info);
}

// An account stored by an earlier sign-in, with one child.
void storeAccount(const char* user, const char* password) {
    auto admin = std::make_shared<AdminInfo>();
    admin->setUser(user);
    String digest;
    ASSERT_TRUE(Authentication::md5Hex(password, digest));
    admin->setPassword(digest);
    Settings::instance()->setAdminInfo(admin);
    ChildInfo child;
    child.setId(101);
    child.setName("Alice");
    child.setLevel(1);
    child.setSessionKey("k101");
    Settings::instance()->setChildList({{101, child}});
}

const char kPass[] =
    "STATUS, PASSED\nNCHILDREN, 1\nDEVICEID, 1001\nCHILDINFO, 102; Ben; Middle School Level; "
    "k102\n";

// The stored name is compared trimmed, and a blank one (an account line
// without a name) stands in nobody's way.
TEST_F(AuthenticationWire, StoredUserChecksTheGivenName) {
    RawHttpServer cloud([](const std::string&) -> std::string { return kPass; });
    const struct {
        const char* stored;
        int answer;
    } cases[] = {
        {"", AUTH_STATUS_PASSED},
        {"   ", AUTH_STATUS_PASSED},
        {" parent ", AUTH_STATUS_PASSED},
        {"neighbour", AUTH_STATUS_USER_MISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("stored user '") + c.stored + "'");
        clearSettings();
        signInServerIs(cloud);
        storeAccount(c.stored, "parent123");
        const size_t before = cloud.requests().size();
        AdminInfo given;
        given.setUser("parent");
        given.setPassword("parent123");
        EXPECT_EQ(Authentication::instance()->doAuth(&given), c.answer);
        const bool asked = c.answer == AUTH_STATUS_PASSED;
        EXPECT_EQ(cloud.requests().size(), before + (asked ? 1 : 0));
        auto admin = Settings::instance()->getAdminInfo();
        ASSERT_NE(admin, nullptr);
        EXPECT_EQ(admin->getUser(), asked ? "parent" : c.stored);
        EXPECT_EQ(Settings::instance()->getChildList().count(asked ? 102u : 101u), 1u);
    }
}

// The server answered, but with less than the account or more than any
// reply should be: the sign-in fails as "not passed" (never as an
// unreachable server, which would let the local check pass it) and the
// stored account, children and device id stay.
TEST_F(AuthenticationWire, BrokenPassReplyFailsAndKeepsTheStoredAccount) {
    std::string reply;
    RawHttpServer cloud([&](const std::string&) -> std::string { return reply; });
    const struct {
        const char* label;
        std::string body;
        uint64_t streamed;
    } cases[] = {
        {"no children", "STATUS, PASSED\nNCHILDREN, 2\nDEVICEID, 1001\n", 0},
        {"cut", std::string(kPass).substr(0, 60), 0},
        {"status only", "STATUS, PASSED\n", 0},
        {"oversized", "", 8 * 1024 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        clearSettings();
        signInServerIs(cloud);
        storeAccount("parent", "parent123");
        mDevice.setDeviceId(555);
        reply = c.body;
        cloud.streamBody(c.streamed, false);
        AdminInfo given;
        given.setUser("parent");
        given.setPassword("parent123");
        LogWatch log;
        EXPECT_EQ(Authentication::instance()->doAuth(&given), AUTH_STATUS_FAILED_OTHER);
        EXPECT_FALSE(log.saw("doAuth() local auth"));
        auto children = Settings::instance()->getChildList();
        ASSERT_EQ(children.size(), 1u);
        EXPECT_EQ(children.begin()->first, 101u);
        EXPECT_EQ(mDevice.getDeviceId(), 555u);

        // The periodic sign-in with the stored account fails alike.
        Settings::instance()->populateUserMapFromString("S-1-22-1-1000, 101\n");
        EXPECT_EQ(Authentication::instance()->doAuth(nullptr), AUTH_STATUS_FAILED_OTHER);
        EXPECT_EQ(Settings::instance()->getSysZorvUserMap().at("S-1-22-1-1000"), 101u);
        EXPECT_EQ(Settings::instance()->getChildList().size(), 1u);
        Settings::instance()->populateUserMapFromString("\n");
    }
}

}  // namespace

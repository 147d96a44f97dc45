#include "cloud/Authentication.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "TestSupport.h"
#include "cloud/CloudConfig.h"
#include "settings/Settings.h"
#include "system/Device.h"

namespace {

// Every test starts from a settings record without account or children.
class AuthenticationParse : public testing::Test {
protected:
    void SetUp() override { clearSettings(); }
    void TearDown() override { clearSettings(); }

    static void clearSettings() {
        Settings* settings = Settings::instance();
        settings->setAdminInfo(nullptr);
        settings->setConnectionInfo(nullptr);
        settings->setChildList({});
        settings->populateUserMapFromString("\n");
    }

    Authentication& auth = *Authentication::instance();
};

struct ConnectionCase {
    const char* label;
    const char* body;
    bool ok;
    const char* filter;
    const char* authServer;
    const char* alternate;
    const char* publicIp;
};

void PrintTo(const ConnectionCase& c, std::ostream* os) { *os << c.label; }

class ConnectionReply : public AuthenticationParse,
                        public testing::WithParamInterface<ConnectionCase> {};

TEST_P(ConnectionReply, TakesTheKeysAfterTheVersion) {
    const ConnectionCase& c = GetParam();
    std::shared_ptr<ConnectionInfo> info;
    EXPECT_EQ(auth.parseConnectionData(info, c.body), c.ok);
    if (!c.ok) {
        EXPECT_EQ(info, nullptr);
        EXPECT_EQ(Settings::instance()->getConnectionInfo(), nullptr);
        return;
    }
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(Settings::instance()->getConnectionInfo(), info);  // installed
    EXPECT_EQ(info->getFilterServer(), c.filter);
    EXPECT_EQ(info->getAuthServer(), c.authServer);
    EXPECT_EQ(info->getAlternateFilterServer(), c.alternate);
    EXPECT_EQ(info->getPublicIp(), c.publicIp);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectionReply,
    testing::Values(
        ConnectionCase{"Full",
                       "ZORVANE_VERSION, 2\nFILTER, https://f.example/z\nAUTH, "
                       "https://a.example/auth\nFILTER1, https://g.example/z\nPUBLICIP, "
                       "198.51.100.7\n",
                       true, "https://f.example/z", "https://a.example/auth",
                       "https://g.example/z", "198.51.100.7"},
        ConnectionCase{"KeysBeforeTheVersionAreIgnored",
                       "FILTER, https://early/z\nAUTH, https://early/a\nZORVANE_VERSION, 2\n"
                       "FILTER, https://f/z\nAUTH, https://a/a\n",
                       true, "https://f/z", "https://a/a", "", ""},
        ConnectionCase{"NoVersionNoInfo", "FILTER, https://f/z\nAUTH, https://a/a\n", false, "",
                       "", "", ""},
        ConnectionCase{"EmptyValueEndsParsing",
                       "ZORVANE_VERSION, 2\nFILTER, https://f/z\nFILTER1, \nAUTH, https://a/a\n",
                       false, "", "", "", ""},
        ConnectionCase{"EmptyVersionEndsParsing",
                       "ZORVANE_VERSION, \nFILTER, https://f/z\nAUTH, https://a/a\n", false, "", "",
                       "", ""},
        ConnectionCase{"UnknownKeysIgnoredCrLfAccepted",
                       "ZORVANE_VERSION, 2\r\nMOTD, hello\r\nAUTH, https://a/a\r\nFILTER, "
                       "https://f/z\r\n",
                       true, "https://f/z", "https://a/a", "", ""},
        ConnectionCase{"AuthMissing", "ZORVANE_VERSION, 2\nFILTER, https://f/z\n", false, "", "",
                       "", ""},
        // Every server address must be https with a host, or the reply is refused.
        ConnectionCase{"PlainHttpAuthRefused",
                       "ZORVANE_VERSION, 2\nFILTER, https://f/z\nAUTH, http://a/a\n", false, "",
                       "", "", ""},
        ConnectionCase{"PlainHttpFilterRefused",
                       "ZORVANE_VERSION, 2\nFILTER, http://f/z\nAUTH, https://a/a\n", false, "",
                       "", "", ""},
        ConnectionCase{"PlainHttpFallbackRefused",
                       "ZORVANE_VERSION, 2\nFILTER, https://f/z\nAUTH, https://a/a\nFILTER1, "
                       "http://g/z\n",
                       false, "", "", "", ""},
        ConnectionCase{"SchemelessAuthRefused",
                       "ZORVANE_VERSION, 2\nFILTER, https://f/z\nAUTH, a.example/https://\n",
                       false, "", "", "", ""},
        ConnectionCase{"HttpsWithoutHostRefused",
                       "ZORVANE_VERSION, 2\nFILTER, https:///z\nAUTH, https://a/a\n", false, "",
                       "", "", ""},
        ConnectionCase{"UpperCaseSchemeRefused",
                       "ZORVANE_VERSION, 2\nFILTER, https://f/z\nAUTH, HTTPS://a/a\n", false, "",
                       "", "", ""},
        ConnectionCase{"HttpsWithPortAndQueryTaken",
                       "ZORVANE_VERSION, 2\nFILTER, https://f:8443\nAUTH, https://a:8443?x=1\n",
                       true, "https://f:8443", "https://a:8443?x=1", "", ""}),
    [](const testing::TestParamInfo<ConnectionCase>& param) { return std::string(param.param.label); });

struct AuthCase {
    const char* label;
    const char* body;
    bool passed;
    bool incomplete;
    std::function<void()> check;
};

void PrintTo(const AuthCase& c, std::ostream* os) { *os << c.label; }

class TestDevice : public Device {};

// Each reply meets a PC that was signed in before: an account, a child,
// a user mapped to it and a device id.
class AuthReply : public AuthenticationParse, public testing::WithParamInterface<AuthCase> {
protected:
    void SetUp() override {
        AuthenticationParse::SetUp();
        Settings* settings = Settings::instance();
        auto admin = std::make_shared<AdminInfo>();
        admin->setUser("parent");
        admin->setPassword(kStoredDigest);
        settings->setAdminInfo(admin);
        ChildInfo zed;
        zed.setId(9);
        zed.setName("Zed");
        zed.setLevel(3);
        zed.setSessionKey("k9");
        settings->setChildList({{9, zed}});
        settings->populateUserMapFromString("S-a, 9\nS-b, 0\n");
        mSavedDevice = Device::instance();
        Device::registerInstance(&mDevice);
        mDevice.setDeviceId(555);
    }
    void TearDown() override {
        Device::registerInstance(mSavedDevice);
        AuthenticationParse::TearDown();
    }

    static constexpr char kStoredDigest[] = "ffffffffffffffffffffffffffffffff";
    TestDevice mDevice;
    Device* mSavedDevice = nullptr;
};

ChildInfo childOf(uint32_t id) { return Settings::instance()->getChildInfo(id); }

// What the PC held before the reply, untouched.
void storedStateKept() {
    Settings* settings = Settings::instance();
    auto admin = settings->getAdminInfo();
    ASSERT_NE(admin, nullptr);
    EXPECT_EQ(admin->getPassword(), "ffffffffffffffffffffffffffffffff");
    ASSERT_EQ(settings->getChildList().size(), 1u);
    EXPECT_EQ(childOf(9).getName(), "Zed");
    EXPECT_EQ(settings->getSysZorvUserMap(), (SysZorvUserMap{{"S-a", 9}, {"S-b", 0}}));
    EXPECT_EQ(Device::instance()->getDeviceId(), 555u);
}

TEST_P(AuthReply, InstallsOnlyACompletePassedReply) {
    const AuthCase& c = GetParam();
    bool incomplete = !c.incomplete;
    EXPECT_EQ(auth.parseAuthenticationData("parent", "0123456789abcdef0123456789abcdef", c.body,
                                           &incomplete),
              c.passed);
    EXPECT_EQ(incomplete, c.incomplete);
    c.check();
}

const char kThreeChildren[] =
    "STATUS, PASSED\nNCHILDREN, 3\nDEVICEID, 1001\nSESSIONID, s1\nAUTHEXPIRY, 3600\n"
    "CHILDINFO, 7; Ann Lee; Middle School Level; key; with; semicolons\n"
    "CHILDINFO, 3; Bo; Elementary School Level; k3\n"
    "CHILDINFO, 9; Zed; High School Level; k9new\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, AuthReply,
    testing::Values(
        AuthCase{"Passed", kThreeChildren, true, false,
                 [] {
                     auto admin = Settings::instance()->getAdminInfo();
                     ASSERT_NE(admin, nullptr);
                     EXPECT_EQ(admin->getUser(), "parent");
                     EXPECT_EQ(admin->getPassword(), "0123456789abcdef0123456789abcdef");
                     ASSERT_EQ(Settings::instance()->getChildList().size(), 3u);
                     EXPECT_EQ(childOf(7).getName(), "Ann Lee");
                     EXPECT_EQ(childOf(7).getLevel(), 2u);
                     EXPECT_EQ(childOf(7).getSessionKey(), "key; with; semicolons");
                     EXPECT_EQ(childOf(3).getLevel(), 1u);
                     EXPECT_EQ(childOf(9).getSessionKey(), "k9new");
                     EXPECT_EQ(Device::instance()->getDeviceId(), 1001u);
                     EXPECT_EQ(Settings::instance()->getSysZorvUserMap()["S-a"], 9u);
                 }},
        // The map's repair still runs for a child the account no longer has.
        AuthCase{"VanishedChildMovesItsUsers",
                 "STATUS, PASSED\nNCHILDREN, 1\nCHILDINFO, 4; Cy; High School Level; k4\n", true,
                 false,
                 [] {
                     EXPECT_EQ(Settings::instance()->getSysZorvUserMap()["S-a"], 4u);
                     EXPECT_EQ(Device::instance()->getDeviceId(), 555u);  // none in the reply
                 }},
        AuthCase{"LinesBeforeStatusAreIgnored",
                 "CHILDINFO, 9; Zed; High School Level; k\nSTATUS, PASSED\nNCHILDREN, 0\n", true,
                 false,
                 [] {
                     EXPECT_TRUE(Settings::instance()->getChildList().empty());
                     EXPECT_EQ(Settings::instance()->getSysZorvUserMap()["S-a"], 0u);
                 }},
        AuthCase{"StatusNotPassedChangesNothing",
                 "STATUS, FAILED\nNCHILDREN, 1\nCHILDINFO, 3; Bo; Elementary School Level; k\n",
                 false, false, storedStateKept},
        AuthCase{"UnknownLevelTextIsLevelZero",
                 "STATUS, PASSED\nNCHILDREN, 1\nCHILDINFO, 5; Di; University; k5\n", true, false,
                 [] { EXPECT_EQ(childOf(5).getLevel(), 0u); }},
        AuthCase{"RepeatedIdReplacesTheEarlierChild",
                 "STATUS, PASSED\nNCHILDREN, 2\nCHILDINFO, 5; Di; University; k5\n"
                 "CHILDINFO, 5; Di; High School Level; k5b\n",
                 true, false, [] { EXPECT_EQ(childOf(5).getSessionKey(), "k5b"); }},
        // A passed reply that does not carry what it announces replaces nothing.
        AuthCase{"PassedWithoutAnyFurtherLine", "STATUS, PASSED\n", false, true, storedStateKept},
        AuthCase{"PassedWithoutChildLines",
                 "STATUS, PASSED\nNCHILDREN, 3\nDEVICEID, 1001\nSESSIONID, s1\nAUTHEXPIRY, 3600\n",
                 false, true, storedStateKept},
        AuthCase{"CutAfterTheFirstChild",
                 "STATUS, PASSED\nNCHILDREN, 3\nDEVICEID, 1001\n"
                 "CHILDINFO, 7; Ann Lee; Middle School Level; key\n",
                 false, true, storedStateKept},
        AuthCase{"CutInsideTheLastChild",
                 "STATUS, PASSED\nNCHILDREN, 2\nDEVICEID, 1001\n"
                 "CHILDINFO, 7; Ann Lee; Middle School Level; key\nCHILDINFO, 3; Bo; Elem",
                 false, true, storedStateKept},
        // Cut inside the last child's key: its fields parse, the key is short.
        AuthCase{"LastLineWithoutLineEndIsNotTaken",
                 "STATUS, PASSED\nNCHILDREN, 1\nCHILDINFO, 7; Ann; Middle School Level; ke", false,
                 true, storedStateKept},
        AuthCase{"MoreChildLinesThanCounted",
                 "STATUS, PASSED\nNCHILDREN, 1\nCHILDINFO, 7; Ann; Middle School Level; k7\n"
                 "CHILDINFO, 3; Bo; Elementary School Level; k3\n",
                 false, true, storedStateKept},
        AuthCase{"ChildBeforeCountStopsTheReply",
                 "STATUS, PASSED\nCHILDINFO, 3; Bo; Elementary School Level; k\nNCHILDREN, 1\n"
                 "CHILDINFO, 4; Cy; Elementary School Level; k\n",
                 false, true, storedStateKept},
        AuthCase{"EmptyCountEndsParsing",
                 "STATUS, PASSED\nNCHILDREN, \nCHILDINFO, 5; Di; High School Level; k5\n", false,
                 true, storedStateKept},
        AuthCase{"CountThatIsNoNumber",
                 "STATUS, PASSED\nNCHILDREN, two\nCHILDINFO, 5; Di; High School Level; k5\n", false,
                 true, storedStateKept},
        AuthCase{"MalformedChildIsNotCounted",
                 "STATUS, PASSED\nNCHILDREN, 2\nCHILDINFO, 5; Di\n"
                 "CHILDINFO, 6; Ed; High School Level; k6\n",
                 false, true, storedStateKept}),
    [](const testing::TestParamInfo<AuthCase>& param) { return std::string(param.param.label); });

TEST(AuthenticationDigest, IsLowercaseHexMd5) {
    String digest;
    ASSERT_TRUE(Authentication::md5Hex("password", digest));
    EXPECT_EQ(digest, "5f4dcc3b5aa765d61d8327deb882cf99");
    ASSERT_TRUE(Authentication::md5Hex("", digest));
    EXPECT_EQ(digest, "d41d8cd98f00b204e9800998ecf8427e");
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    char text[9] = {};
    Authentication::bin2hex(bytes, 4, text);
    EXPECT_STREQ(text, "000fa0ff");
}

TEST(AuthenticationRequest, TimeZoneSpacesBecomeBackslashPercent20) {
    EXPECT_EQ(Authentication::connectionRequestUrl("http://lb/cgi-bin/connection",
                                                   "Pacific  Standard Time"),
              "http://lb/cgi-bin/connection?v=2.0&user=linux&timezone=Pacific\\%20\\%20Standard\\%20Time");
    EXPECT_EQ(Authentication::connectionRequestUrl("http://lb/c", "UTC"),
              "http://lb/c?v=2.0&user=linux&timezone=UTC");
}

TEST_F(AuthenticationParse, AuthIsNeededOnlyForAMappedUser) {
    LogWatch log;
    EXPECT_FALSE(auth.isAuthNeeded());
    EXPECT_TRUE(log.saw("Authentication::isAuthNeeded userMap is empty"));
    Settings::instance()->populateUserMapFromString("S-a, 0\nS-b, 0\n");
    EXPECT_FALSE(auth.isAuthNeeded());
    Settings::instance()->populateUserMapFromString("S-a, 0\nS-b, 7\n");
    EXPECT_TRUE(auth.isAuthNeeded());
}

TEST_F(AuthenticationParse, NoCloudMeansNoSignIn) {
    setenvForTest("ZORVANE_CONNECTION_URL", "http://127.0.0.1:9/cgi-bin/connection");
    setenvForTest("ZORVANE_CONNECTION_URL_FALLBACK", "http://127.0.0.1:9/fallback");
    CloudConfig::install(CloudConfig::load(""));
    AdminInfo given;
    given.setUser("parent");
    given.setPassword("secret");
    LogWatch log;
    EXPECT_EQ(auth.doAuth(&given), AUTH_STATUS_FAILED);
    EXPECT_TRUE(log.saw("fetchConnectionInfoFromServer() failed"));
    EXPECT_FALSE(log.saw("secret"));
    setenvForTest("ZORVANE_CONNECTION_URL", nullptr);
    setenvForTest("ZORVANE_CONNECTION_URL_FALLBACK", nullptr);
    CloudConfig::install(CloudConfig::load(""));
}

}  // namespace

#include "settings/Settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SettingsFixture.h"
#include "TestSupport.h"


namespace {

TEST_F(SettingsTest, EmptyRecordSerialisesToFourLinesAndTwoEmptyOnes) {
    auto settings = newSettings(device);
    fill(*settings, device);
    const std::string expected =
        "https://auth.example/cgi-bin/auth, https://filter.example/zorv, 8080\n"
        "parent@example.com, 5f4dcc3b5aa765d61d8327deb882cf99, 1\n"
        "4711, 0a1b2c3d4e5f\n"
        "\n\n";
    EXPECT_EQ(settings->toString(), expected);

    SettingsTestDevice otherDevice;
    auto loaded = newSettings(otherDevice);
    LogWatch log;
    loaded->populateFromString(String(expected));
    EXPECT_EQ(loaded->toString(), expected);
    EXPECT_EQ(log.count("populateUserMapFromString - data corruption"), 1);
    EXPECT_TRUE(loaded->getSysZorvUserMap().empty());
    EXPECT_EQ(otherDevice.getDeviceId(), 4711u);
    EXPECT_EQ(loaded->getConnectionInfo()->getHttpsServer(),
              "https://filter.example/zorvane2/filter.php");
}

TEST_F(SettingsTest, FullRecordRoundTripsThroughTheFile) {
    auto settings = newSettings(device);
    fill(*settings, device, true);
    settings->setChildList({{7, child(7, "Ann Marie", 2, "key-7")}, {3, child(3, "Bo", 1, "k3")}});
    settings->updateSysZorvUserMap("S-1-5-21-1-1001, 7\nS-1-5-21-1-1002, 0\n");
    settings->setFilterEnabled(false);
    settings->saveToStore();

    const std::string text = readFile(dir.file("zorvane.cred"));
    EXPECT_EQ(text,
              "https://auth.example/cgi-bin/auth, https://filter.example/zorv, 8080\n"
              "ALT:https://alt.example/zorv, 60443\n"
              "parent@example.com, 5f4dcc3b5aa765d61d8327deb882cf99, 0\n"
              "4711, 0a1b2c3d4e5f\n"
              "S-1-5-21-1-1001, 7\nS-1-5-21-1-1002, 0\n\n"
              "3, Bo, 1, k3\n7, Ann Marie, 2, key-7\n");

    SettingsTestDevice otherDevice;
    auto loaded = newSettings(otherDevice);
    loaded->loadFromStore();
    EXPECT_EQ(loaded->toString(), text);
    EXPECT_FALSE(loaded->IsFilterEnabled());
    EXPECT_EQ(loaded->getConnectionInfo()->getAlternateFilterServerPort(), 60443);
    EXPECT_EQ(loaded->getChildInfo(7).getName(), "Ann Marie");
}

struct ParseCase {
    const char* label;
    const char* text;
    std::function<void(Settings&)> check;
    const char* logged;  // a line the parse must log, or nullptr
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.label;
}

class SettingsParse : public testing::TestWithParam<ParseCase> {};

TEST_P(SettingsParse, AppliesWhatTheTextSays) {
    TempDir dir;
    FileStore store(dir.file("zorvane.cred"));
    SettingsTestDevice device;
    Settings settings(&store);
    settings.setDeviceInfo(&device);
    LogWatch log;
    settings.populateFromString(GetParam().text);
    GetParam().check(settings);
    if (GetParam().logged) {
        EXPECT_TRUE(log.saw(GetParam().logged));
    }
}

const char kHead[] = "a, https://f/x, 80\nu, 0123456789abcdef0123456789abcdef, 1\n1, 001122334455\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsParse,
    testing::Values(
        ParseCase{"AlternatePortZeroIsNotRestored",
                  "a, https://f/x, 80\nALT:https://alt/x, 0\nu, 0123456789abcdef0123456789abcdef, 1\n1, 001122334455\n\n\n",
                  [](Settings& s) {
                      EXPECT_EQ(s.getConnectionInfo()->getAlternateFilterServer(), "");
                      EXPECT_EQ(s.getAdminInfo()->getUser(), "u");
                  },
                  nullptr},
        ParseCase{"ChildrenWithLevelOrIdZeroAreSkipped",
                  "a, https://f/x, 80\nu, 0123456789abcdef0123456789abcdef, 1\n1, 001122334455\n\n\n"
                  "7, Ann, 0, k7\n0, Zed, 2, k0\n3, Bo, 1, k3\n9, , 2, k9\n5, Cy, 3, \n",
                  [](Settings& s) {
                      ASSERT_EQ(s.getChildList().size(), 1u);
                      EXPECT_EQ(s.getChildInfo(3).getName(), "Bo");
                  },
                  "corrupt data in cred file - zorv child"},
        ParseCase{"SpacesAroundServersAndUserAreTrimmedInsideNamesKept",
                  "  a  ,   https://f/x , 80 \n  u , 0123456789abcdef0123456789abcdef , 1\n 1 , 001122334455 \n\n\n"
                  "4,  Ann  Lee , 2, k4\n",
                  [](Settings& s) {
                      EXPECT_EQ(s.getConnectionInfo()->getAuthServer(), "a");
                      EXPECT_EQ(s.getConnectionInfo()->getFilterServer(), "https://f/x");
                      EXPECT_EQ(s.getAdminInfo()->getUser(), "u");
                      EXPECT_EQ(s.getChildInfo(4).getName(), " Ann  Lee ");
                  },
                  nullptr},
        ParseCase{"DuplicateSidLaterWins",
                  "a, https://f/x, 80\nu, 0123456789abcdef0123456789abcdef, 1\n1, 001122334455\nS-1, 3\nS-1, 9\nS-2, 3\n\n",
                  [](Settings& s) {
                      SysZorvUserMap map = s.getSysZorvUserMap();
                      ASSERT_EQ(map.size(), 2u);
                      EXPECT_EQ(map["S-1"], 9u);
                  },
                  nullptr},
        ParseCase{"DuplicateChildLaterWins",
                  "a, https://f/x, 80\nu, 0123456789abcdef0123456789abcdef, 1\n1, 001122334455\n\n\n3, Bo, 1, k\n3, Bob, 2, k\n",
                  [](Settings& s) { EXPECT_EQ(s.getChildInfo(3).getName(), "Bob"); }, nullptr},
        ParseCase{"SwitchZeroDisablesAndPortIsDecimal",
                  "a, https://f/x, 8443\nu, 0123456789abcdef0123456789abcdef, 0\n99, 001122334455\n\n\n",
                  [](Settings& s) {
                      EXPECT_FALSE(s.IsFilterEnabled());
                      EXPECT_EQ(s.getConnectionInfo()->getFilterServerPort(), 8443);
                  },
                  nullptr},
        ParseCase{"EmptyTextChangesNothing", "",
                  [](Settings& s) { EXPECT_EQ(s.getConnectionInfo(), nullptr); },
                  "Settings::populateFromString error in settings read"},
        ParseCase{"NothingAfterTheServerLine", "a, https://f/x, 80\n",
                  [](Settings& s) { EXPECT_EQ(s.getConnectionInfo(), nullptr); },
                  "Settings::populateFromString error in settings read"},
        ParseCase{"EmptyDigestRejectsTheRecord", "a, https://f/x, 80\nu, , 1\n1, 00\n\n\n",
                  [](Settings& s) { EXPECT_EQ(s.getAdminInfo(), nullptr); }, nullptr},
        ParseCase{"BlankOnlyFieldsAreEmpty", "   , https://f/x, 80\nu, 0123456789abcdef0123456789abcdef, 1\n1, 00\n\n\n",
                  [](Settings& s) { EXPECT_EQ(s.getConnectionInfo(), nullptr); }, nullptr},
        ParseCase{"BinaryGarbage", "\x01\x02, \xff\n\n, , ,\n\0\0",
                  [](Settings& s) { EXPECT_EQ(s.getConnectionInfo(), nullptr); }, nullptr}),
    [](const testing::TestParamInfo<ParseCase>& param) { return std::string(param.param.label); });

TEST_F(SettingsTest, TruncatedFilesNeverApplyHalfALineOrLosePreviousValues) {
    auto full = newSettings(device);
    fill(*full, device, true);
    full->setChildList({{3, child(3, "Bo", 1, "k3")}, {12, child(12, "Cy", 3, "k12")}});
    full->updateSysZorvUserMap("S-1-5-21-1-1001, 12\nS-1-5-21-1-1002, 3\n");
    const std::string text = full->toString();
    const size_t recordEnd = text.find("4711, 0a1b2c3d4e5f\n") + 19;

    for (size_t cut = 0; cut <= text.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        SettingsTestDevice cutDevice;
        cutDevice.setDeviceId(1);
        cutDevice.setDeviceSignature("ffffffffffff");
        auto settings = newSettings(cutDevice);
        auto previousConn = std::make_shared<ConnectionInfo>();
        previousConn->setFilterServer("https://previous/x");
        settings->setConnectionInfo(previousConn);
        settings->updateSysZorvUserMap("S-previous, 5\n");
        settings->setChildList({{5, child(5, "Prev", 2, "kp")}});

        settings->populateFromString(String(text.substr(0, cut)));

        if (cut <= recordEnd) {
            // Lines 1 to 4 are incomplete (or nothing follows them): no change.
            EXPECT_EQ(settings->getConnectionInfo(), previousConn);
            EXPECT_EQ(settings->getAdminInfo(), nullptr);
            EXPECT_EQ(cutDevice.getDeviceId(), 1u);
            EXPECT_EQ(settings->getSysZorvUserMap(), (SysZorvUserMap{{"S-previous", 5}}));
            EXPECT_EQ(settings->getChildList().size(), 1u);
            continue;
        }
        EXPECT_EQ(settings->getConnectionInfo()->getAlternateFilterServer(),
                  "https://alt.example/zorv");
        EXPECT_EQ(cutDevice.getDeviceSignature(), "0a1b2c3d4e5f");
        // Whatever made it in is exactly what the file said: a cut line never
        // yields a wrong child id or a half profile.
        const SysZorvUserMap fullMap = full->getSysZorvUserMap();
        for (const auto& entry : settings->getSysZorvUserMap()) {
            ASSERT_EQ(fullMap.count(entry.first), 1u) << entry.first;
            EXPECT_EQ(fullMap.at(entry.first), entry.second);
        }
        for (const auto& entry : settings->getChildList()) {
            EXPECT_EQ(entry.second.getName(), full->getChildInfo(entry.first).getName());
            EXPECT_EQ(entry.second.getSessionKey(),
                      full->getChildInfo(entry.first).getSessionKey());
        }
    }
}

// A damaged settings file: what is dropped is logged with its line and the
// reason, and a file that does not start with a server and an account line
// holds no account, so the parent can sign in again.
struct DamagedCase {
    const char* label;
    const char* text;
    bool account;
    const char* logged;
};

void PrintTo(const DamagedCase& c, std::ostream* os) {
    *os << c.label;
}

class DamagedSettingsFile : public SettingsTest, public testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedSettingsFile, IsSaidPlainlyAndNeverLeavesAForeignAccount) {
    writeFile(dir.file("zorvane.cred"), GetParam().text);
    auto settings = newSettings(device);
    LogWatch log;
    settings->loadFromStore();
    EXPECT_EQ(settings->getAdminInfo() != nullptr, GetParam().account);
    EXPECT_TRUE(log.saw(GetParam().logged)) << log.text();
    if (!GetParam().account) {
        EXPECT_EQ(settings->getConnectionInfo(), nullptr);
        EXPECT_TRUE(settings->getChildList().empty());
        EXPECT_TRUE(log.saw("Settings::loadFromStore account (none), 0 user-map entries, 0 child "
                            "profiles, "))
            << log.text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedSettingsFile,
    testing::Values(
        DamagedCase{"LoremIpsum",
                    "lorem, ipsum, dolor\nsit, amet, consectetur\nadipiscing, elit\n\nsed, do\n",
                    false,
                    "Settings: the settings file holds no usable account - line 1 is not a server "
                    "line (a server name or the port is not valid); nothing of it is used and the "
                    "parent signs in again"},
        DamagedCase{"TwoWordsWithoutALineEnd", "lorem, ipsum", false, "line 1 is not a server line"},
        DamagedCase{"ServerLineCut", "a, https://f/x, 80", false,
                    "the server line (line 1) has no line end"},
        DamagedCase{"AccountLineWithoutADigest",
                    "a, https://f/x, 80\nlorem, ipsum, 1\n1, 001122334455\n\n\n", false,
                    "the account line (line 2) does not parse"},
        DamagedCase{"AccountLineAfterAnAlternateServer",
                    "a, https://f/x, 80\nALT:https://g/x, 81\nu, 0123456789abcdef0123456789abcdef, "
                    "yes\n1, 001122334455\n\n\n",
                    false, "the account line (line 3) does not parse"},
        DamagedCase{"DeviceLineCut", "a, https://f/x, 80\nu, 0123456789abcdef0123456789abcdef, 1\n47",
                    false, "the device line (line 3) has no line end"},
        DamagedCase{"ChildLineCutShort",
                    "a, https://f/x, 80\nu, 0123456789abcdef0123456789abcdef, 1\n1, 001122334455\n"
                    "\n\n3, Bo, 1, k3\n4, Al, 2, k4",
                    true, "Settings: line 7 of the settings file dropped (child profile): cut short, "
                          "no line end"}),
    [](const testing::TestParamInfo<DamagedCase>& param) { return std::string(param.param.label); });

TEST_F(SettingsTest, GarbageAfterAGoodHeadIsDroppedLineByLine) {
    writeFile(dir.file("zorvane.cred"),
              "a, https://f/x, 80\nu, 0123456789abcdef0123456789abcdef, 1\n1, 001122334455\n"
              "S-1-22-1-1000, 3\nlorem, ipsum\n\n3, Bo, 1, k3\ndolor sit amet\n4, Al, 2, k4");
    auto settings = newSettings(device);
    LogWatch log;
    settings->loadFromStore();
    EXPECT_EQ(settings->getSysZorvUserMap(), (SysZorvUserMap{{"S-1-22-1-1000", 3}}));
    ASSERT_EQ(settings->getChildList().size(), 1u);
    EXPECT_EQ(settings->getChildInfo(3).getName(), "Bo");
    EXPECT_TRUE(log.saw("Settings: line 8 of the settings file dropped (child profile): the child "
                        "id is missing or 0"))
        << log.text();
    EXPECT_TRUE(log.saw("Settings: line 9 of the settings file dropped (child profile): cut short"));
    EXPECT_TRUE(log.saw("Settings::loadFromStore account u, 1 user-map entries, 1 child profiles, "
                        "3 lines dropped"))
        << log.text();
}

TEST_F(SettingsTest, CrLfLineEndsAndAByteOrderMarkReadLikeTheFileWasWritten) {
    auto settings = newSettings(device);
    fill(*settings, device, true);
    settings->setChildList({{7, child(7, "Ann Marie", 2, "key-7")}, {3, child(3, "Bo", 1, "k3")}});
    settings->updateSysZorvUserMap("S-1-5-21-1-1001, 7\nS-1-5-21-1-1002, 0\n");
    const std::string text = settings->toString();
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    for (const std::string& variant : {crlf, "\xEF\xBB\xBF" + crlf}) {
        writeFile(dir.file("zorvane.cred"), variant);
        SettingsTestDevice otherDevice;
        auto loaded = newSettings(otherDevice);
        LogWatch log;
        loaded->loadFromStore();
        EXPECT_EQ(loaded->toString(), text);
        EXPECT_TRUE(log.saw("0 lines dropped")) << log.text();
        EXPECT_EQ(loaded->getChildInfo(3).getSessionKey(), "k3");  // no CR left in a key
    }
    // A map from the desktop program may come with CR LF too.
    EXPECT_TRUE(settings->updateSysZorvUserMap("S-1-5-21-1-1003, 3\r\nS-1-5-21-1-1004, 7\r\n"));
    EXPECT_EQ(settings->getSysZorvUserMap(),
              (SysZorvUserMap{{"S-1-5-21-1-1003", 3}, {"S-1-5-21-1-1004", 7}}));
}

TEST_F(SettingsTest, SetChildListMovesUsersOfVanishedChildren) {
    auto settings = newSettings(device);
    settings->updateSysZorvUserMap("S-a, 7\nS-b, 0\nS-c, 3\nS-d, 9\n");
    settings->setChildList({{5, child(5, "E", 1, "k")}, {3, child(3, "C", 1, "k")}});
    EXPECT_EQ(settings->getSysZorvUserMap(),
              (SysZorvUserMap{{"S-a", 3}, {"S-b", 0}, {"S-c", 3}, {"S-d", 3}}));
    settings->setChildList({});
    EXPECT_EQ(settings->getSysZorvUserMap(),
              (SysZorvUserMap{{"S-a", 0}, {"S-b", 0}, {"S-c", 0}, {"S-d", 0}}));
}

TEST_F(SettingsTest, UserMapText) {
    auto settings = newSettings(device);
    EXPECT_FALSE(settings->updateSysZorvUserMap(""));
    String text;
    EXPECT_EQ(settings->getSysZorvUserMap(text), 0);
    EXPECT_EQ(text, "");

    LogWatch log;
    // The last line may lack its line end; a line without a separator is corrupt.
    EXPECT_TRUE(settings->updateSysZorvUserMap("S-b, 2\nno separator\nS-a, 4"));
    EXPECT_TRUE(log.saw("populateUserMapFromString - data corruption"));
    EXPECT_EQ(settings->getSysZorvUserMap(text), 14);
    EXPECT_EQ(text, "S-a, 4\nS-b, 2\n");  // in SID order

    EXPECT_FALSE(settings->updateSysZorvUserMap(""));  // an empty text keeps the map
    EXPECT_EQ(settings->getSysZorvUserMap().size(), 2u);
}

TEST_F(SettingsTest, GettersDoNotInventProfiles) {
    auto settings = newSettings(device);
    ChildInfo unknown = settings->getChildInfo(42);
    EXPECT_EQ(unknown.getId(), 0u);
    EXPECT_EQ(unknown.getName(), "");
    EXPECT_TRUE(settings->getChildList().empty());
    EXPECT_EQ(settings->getVersion(), "2.1.0");
    EXPECT_TRUE(settings->IsFilterEnabled());
    EXPECT_EQ(settings->getCurrentChildId(), 0u);
    EXPECT_GT(settings->getCurrentPid(), 0ul);
    EXPECT_EQ(settings->toXml(), "");
}

TEST_F(SettingsTest, IncompleteRecordIsNotSavedAndTheFileStays) {
    writeFile(dir.file("zorvane.cred"), "former contents\n");
    auto settings = newSettings(device);
    LogWatch log;
    settings->saveToStore();  // no connection info, no account
    EXPECT_TRUE(log.saw("one is NULL"));
    EXPECT_TRUE(log.saw("Settings::saveToStore() Not saving"));
    EXPECT_EQ(readFile(dir.file("zorvane.cred")), "former contents\n");
}

// A device whose adapters were never found has no signature: such a file
// would be refused at the next start, so it is not written.
TEST_F(SettingsTest, ARecordWithoutDeviceSignatureIsNotSaved) {
    writeFile(dir.file("zorvane.cred"), "former contents\n");
    auto settings = newSettings(device);
    fill(*settings, device);
    device.setDeviceSignature("");
    LogWatch log;
    EXPECT_FALSE(settings->saveToStore());
    EXPECT_TRUE(log.saw("Settings::toString no device signature - not written")) << log.text();
    EXPECT_EQ(readFile(dir.file("zorvane.cred")), "former contents\n");
}

TEST_F(SettingsTest, LoadingAMissingFileLeavesTheRecordEmpty) {
    auto settings = newSettings(device);
    LogWatch log;
    settings->loadFromStore();
    EXPECT_TRUE(log.saw("Settings::loadFromStore len is 0"));
    EXPECT_EQ(settings->getConnectionInfo(), nullptr);
    EXPECT_TRUE(fileExists(dir.file("zorvane.cred")));

    Settings withoutStore(nullptr);
    withoutStore.loadFromStore();
    EXPECT_TRUE(log.saw("Settings::loadFromStore settings store is NULL"));
}

TEST_F(SettingsTest, TheDigestAndTheSessionKeysStayOutOfTheLog) {
    auto settings = newSettings(device);
    fill(*settings, device, true);
    // Keys with the separator in them are hidden whole too.
    settings->setChildList({{3, child(3, "Bo", 1, "k3secretkey")},
                            {4, child(4, "Al", 2, "k4sec, retkey")}});
    settings->updateSysZorvUserMap(String("S-1-22-1-1000, 3\n"));
    LogWatch log;
    settings->saveToStore();
    settings->loadFromStore();
    EXPECT_TRUE(log.saw("Settings::saveToStore() "));
    EXPECT_TRUE(log.saw("parent@example.com, ********, 1"));
    EXPECT_TRUE(log.saw("3, Bo, 1, ********\n4, Al, 2, ********\n")) << log.text();
    EXPECT_TRUE(log.saw("S-1-22-1-1000, 3\n")) << log.text();
    EXPECT_FALSE(log.saw(kDigest));
    EXPECT_FALSE(log.saw("secretkey")) << log.text();
    EXPECT_FALSE(log.saw("retkey")) << log.text();
    // The keys themselves are kept.
    EXPECT_EQ(settings->getChildInfo(4).getSessionKey(), "k4sec, retkey");
}

TEST_F(SettingsTest, ConcurrentReadersWritersAndSaves) {
    auto settings = newSettings(device);
    fill(*settings, device);
    settings->setChildList({{3, child(3, "Bo", 1, "k3")}});
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};

    std::vector<std::thread> threads;
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            while (!stop) {
                std::shared_ptr<ConnectionInfo> conn = settings->getConnectionInfo();
                // The object stays valid while a writer replaces it.
                EXPECT_FALSE(conn->getFilterServer().empty());
                EXPECT_EQ(conn->getFilterServerPort(), 8080);
                String text = settings->toString();
                EXPECT_FALSE(text.empty());
                settings->getSysZorvUserMap();
                ++reads;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
            auto conn = std::make_shared<ConnectionInfo>();
            conn->setAuthServer("https://auth.example/a");
            conn->setFilterServer("https://filter" + std::to_string(i) + ".example/x");
            conn->setFilterServerPort(8080);
            settings->setConnectionInfo(conn);
            settings->updateSysZorvUserMap(String("S-1, 3\nS-" + std::to_string(i) + ", 3\n"));
            settings->setChildList({{3, child(3, "Bo", 1, "k3")}});
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) {
            settings->saveToStore();
        }
    });
    threads[3].join();
    threads[2].join();
    stop = true;
    threads[1].join();
    threads[0].join();
    EXPECT_GT(reads, 0);
    settings->saveToStore();  // the writer may have finished after the last save

    // Every save wrote a whole record.
    SettingsTestDevice otherDevice;
    auto loaded = newSettings(otherDevice);
    loaded->loadFromStore();
    EXPECT_EQ(loaded->toString(), settings->toString());
}

struct FilterServerCase {
    const char* url;
    const char* httpsServer;
};

class ConnectionInfoFilterServer : public testing::TestWithParam<FilterServerCase> {};

TEST_P(ConnectionInfoFilterServer, DerivesTheVerificationUrl) {
    ConnectionInfo info;
    info.setFilterServer(GetParam().url);
    EXPECT_EQ(info.getFilterServer(), GetParam().url);
    EXPECT_EQ(info.getHttpsServer(), GetParam().httpsServer);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectionInfoFilterServer,
    testing::Values(FilterServerCase{"https://filter.example.com/cgi/x",
                                     "https://filter.example.com/zorvane2/filter.php"},
                    FilterServerCase{"https://filter.example.com",
                                     "https://filter.example.com/zorvane2/filter.php"},
                    FilterServerCase{"http://filter.example.com/x", ""},
                    FilterServerCase{"filter.example.com/x", ""},
                    FilterServerCase{"https:///x", ""}));

TEST(ConnectionInfo, ResolvesLazilyAndCaches) {
    ConnectionInfo info;
    EXPECT_EQ(info.getFilterServerPort(), 80);
    EXPECT_EQ(info.getAlternateFilterServerPort(), 60443);
    info.setPublicIp("203.0.113.9");
    info.setPublicIp("");
    EXPECT_EQ(info.getPublicIp(), "203.0.113.9");

    info.setFilterServer("https://127.0.0.1/zorv");
    EXPECT_EQ(info.getFilterServerAddress(), 0x7F000001u);
    info.setFilterServer("https://127.0.0.2/zorv");
    EXPECT_EQ(info.getFilterServerAddress(), 0x7F000001u);  // cached per object

    info.setAlternateFilterServer("https://localhost:8443/zorv");
    EXPECT_EQ(info.getAlternateFilterServerAddress(), 0x7F000001u);

    ConnectionInfo unresolvable;
    // Not a valid host name: refused at once, without asking a name server.
    unresolvable.setFilterServer("https://no such host/x");
    LogWatch log;
    EXPECT_EQ(unresolvable.getFilterServerAddress(), 0u);
    EXPECT_TRUE(log.saw("getaddrinfo failed for "));
}

}  // namespace

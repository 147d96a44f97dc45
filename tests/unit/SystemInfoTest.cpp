#include "system/SystemInfo.h"

#include <gtest/gtest.h>

#include <string>

#include "cloud/Authentication.h"
#include "TestSupport.h"

namespace {

// Whether the log holds `line` as a whole line (the log file has CRLF line
// ends on Windows).
bool logHasLine(const std::string& line) {
    return testLogContains(line + "\n") || testLogContains(line + "\r\n");
}

struct FlavourCase {
    unsigned long productType;
    const char* flavour;
};

class WindowsFlavour : public testing::TestWithParam<FlavourCase> {};

TEST_P(WindowsFlavour, NamesTheProductType) {
    EXPECT_EQ(Authentication::GetWindowsFlavour(GetParam().productType), GetParam().flavour);
}

// Both ends and each side of the two gaps, where a shifted table shows.
INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsFlavour,
    testing::Values(FlavourCase{0, "EditionUnknown"}, FlavourCase{1, "Ultimate"},
                    FlavourCase{3, "HomePremium"}, FlavourCase{32, "MediumBusinessServerMessaging"},
                    FlavourCase{33, ""}, FlavourCase{34, "HomePremiumServer"},
                    FlavourCase{48, "Professional"}, FlavourCase{57, "SolutionEmbeddedServerCore"},
                    FlavourCase{58, ""}, FlavourCase{59, "EssentialBusinessServerMGMT"},
                    FlavourCase{71, "Ultimate_E"}, FlavourCase{72, ""}, FlavourCase{0xABCD, ""},
                    FlavourCase{0xFFFFFFFFul, ""}));

TEST(WindowsFlavour, LogsTheEmptyResult) {
    Authentication::GetWindowsFlavour(58);
    EXPECT_TRUE(logHasLine("Authentication::GetWindowsFlavour ret "));
}

WindowsVersionFacts facts(unsigned long major, unsigned long minor, bool workstation,
                          const char* servicePack, bool hasProductInfo, unsigned long productType,
                          const char* platform) {
    WindowsVersionFacts f;
    f.versionRead = true;
    f.majorVersion = major;
    f.minorVersion = minor;
    f.buildNumber = 7601;
    f.platformId = 2;
    f.workstation = workstation;
    f.servicePack = servicePack;
    f.hasProductInfo = hasProductInfo;
    f.productType = productType;
    f.productInfoError = 127;
    f.platform = platform;
    return f;
}

struct DescriptionCase {
    const char* label;
    WindowsVersionFacts facts;
    const char* description;
    WindowsVersion number;
};

class WindowsDescription : public testing::TestWithParam<DescriptionCase> {};

TEST_P(WindowsDescription, DescribesAndNumbersTheRelease) {
    const DescriptionCase& c = GetParam();
    EXPECT_EQ(describeWindowsVersion(c.facts), c.description);
    EXPECT_EQ(windowsVersionNumber(c.facts), c.number);
}

WindowsVersionFacts unreadVersion() {
    WindowsVersionFacts f = facts(6, 1, true, "Service Pack 1", true, 3, "amd64");
    f.versionRead = false;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsDescription,
    testing::Values(
        DescriptionCase{"Windows7HomePremiumSp1",
                        facts(6, 1, true, "Service Pack 1", true, 3, "amd64"),
                        "Windows7_HomePremium_Service_Pack_1_amd64", Windows7},
        // Not 6.x: the description is the service-pack text.
        DescriptionCase{"XpWithoutProductInfo",
                        facts(5, 1, true, "Service Pack 3", false, 0, "x86"), "Service_Pack_3_x86",
                        WindowsUnknown},
        // No flavour: the service-pack text is not appended either.
        DescriptionCase{"ProductType33", facts(6, 1, true, "Service Pack 1", true, 33, "amd64"),
                        "Windows7_amd64", Windows7},
        DescriptionCase{"ProductType58", facts(6, 0, false, "Service Pack 2", true, 58, "x86"),
                        "WindowsServer2008_x86", WindowsServer2008},
        DescriptionCase{"Server2008R2NoServicePack", facts(6, 1, false, "", true, 7, "amd64"),
                        "WindowsServer2008R2_StandardServer_amd64", WindowsServer2008R2},
        DescriptionCase{"Vista", facts(6, 0, true, "", true, 1, "x86"), "WindowsVista_Ultimate_x86",
                        WindowsVista},
        DescriptionCase{"Windows8", facts(6, 2, true, "", true, 48, "amd64"),
                        "Windows8_Professional_amd64", Windows8},
        DescriptionCase{"Server2012", facts(6, 2, false, "", true, 8, "amd64"),
                        "WindowsServer2012_DatacenterServer_amd64", WindowsServer2012},
        // An unknown 6.x minor names no release; the flavour still follows "_".
        DescriptionCase{"Unknown63", facts(6, 3, true, "", true, 48, "amd64"),
                        "_Professional_amd64", WindowsUnknown},
        DescriptionCase{"Version10", facts(10, 0, true, "", false, 0, ""), "", WindowsUnknown},
        DescriptionCase{"VersionNotRead", unreadVersion(), "_HomePremium_Service_Pack_1_amd64",
                        WindowsUnknown}),
    [](const testing::TestParamInfo<DescriptionCase>& testInfo) {
        return std::string(testInfo.param.label);
    });

TEST(WindowsDescription, LogsTheVersionAndAMissingProductFunction) {
    describeWindowsVersion(facts(5, 2, false, "Service Pack 2", false, 0, "x86"));
    EXPECT_TRUE(logHasLine("Authentication::GetWindowsVersion 5 2 7601 2 \"Service Pack 2\""));
    EXPECT_TRUE(logHasLine("Authentication::GetWindowsVersion OS \"Service Pack 2\""));
    EXPECT_TRUE(logHasLine("Authentication::GetWindowsVersion is NULL error 127"));
    EXPECT_TRUE(logHasLine("Authentication::GetWindowsVersion Service_Pack_2_x86"));
}

TEST(WindowsPlatform, OnlyX64IsAmd64) {
    EXPECT_EQ(platformFromArchitecture(9), "amd64");
    EXPECT_EQ(platformFromArchitecture(0), "x86");   // x86
    EXPECT_EQ(platformFromArchitecture(6), "x86");   // Itanium
    EXPECT_EQ(platformFromArchitecture(12), "x86");  // ARM64
}

// The running system, whichever it is: the settings views agree with the
// sign-in's and log their own lines.
TEST(SystemInfo, SettingsViewsMatchTheSignInTexts) {
    String platform = settingsWindowsPlatform();
    EXPECT_EQ(platform, Authentication::GetWindowsPlatform());
    EXPECT_TRUE(logHasLine("Settings::getWindowsPlatform() platfrom " + platform));
    int version = settingsWindowsVersion();
    EXPECT_TRUE(logHasLine("Settings::getWindowsVersion()"));
    EXPECT_TRUE(logHasLine("Settings::getWindowsVersion " + std::to_string(version) + "\""));
    String name = Authentication::getSystemName();
    EXPECT_LE(name.size(), 15u);
    if (!name.empty()) {
        EXPECT_TRUE(logHasLine("Authentication::getSystemName " + name));
    }
}

}  // namespace

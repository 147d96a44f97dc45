#include "system/SystemInfo.h"

#include <array>

#include "cloud/Authentication.h"
#include "base/Logger.h"

namespace {

// Edition names, indexed by Windows' own product-type numbers; empty entries
// are unassigned.
const std::array<const char*, 72> kFlavours = {
    "EditionUnknown",                  // 0
    "Ultimate",                        // 1
    "HomeBasic",                       // 2
    "HomePremium",                     // 3
    "Enterprise",                      // 4
    "HomeBasic_N",                     // 5
    "Business",                        // 6
    "StandardServer",                  // 7
    "DatacenterServer",                // 8
    "SmallBusinessServer",             // 9
    "EnterpriseServer",                // 10
    "Starter",                         // 11
    "DatacenterServerCore",            // 12
    "StandardServerCore",              // 13
    "EnterpriseServerCore",            // 14
    "EnterpriseServerIA64",            // 15
    "Business_N",                      // 16
    "WebServer",                       // 17
    "ClusterServer",                   // 18
    "HomeServer",                      // 19
    "StorageExpressServer",            // 20
    "StorageStandardServer",           // 21
    "StorageWorkgroupServer",          // 22
    "StorageEnterpriseServer",         // 23
    "ServerForSmallBusiness",          // 24
    "SmallBusinessServerPremium",      // 25
    "HomePremium_N",                   // 26
    "Enterprise_N",                    // 27
    "Ultimate_N",                      // 28
    "WebServerCore",                   // 29
    "MediumBusinessServerManagement",  // 30
    "MediumBusinessServerSecurity",    // 31
    "MediumBusinessServerMessaging",   // 32
    "",                                // 33 (unassigned)
    "HomePremiumServer",               // 34
    "ServerForSmallBusiness_V",        // 35
    "StandardServer_V",                // 36
    "DatacenterServer_V",              // 37
    "EnterpriseServer_V",              // 38
    "DatacenterServerCore_V",          // 39
    "StandardServerCore_V",            // 40
    "EnterpriseServerCore_V",          // 41
    "HyperV",                          // 42
    "StorageExpressServerCore",        // 43
    "StorageStandardServerCore",       // 44
    "StorageWorkgroupServerCore",      // 45
    "StorageEnterpriseServerCore",     // 46
    "Starter_N",                       // 47
    "Professional",                    // 48
    "Professional_N",                  // 49
    "SBSolutionServer",                // 50
    "ServerForSBSolution",             // 51
    "StandardServerSolutions",         // 52
    "StandardServerSolutionsCore",     // 53
    "SBSolutionServer_EM",             // 54
    "ServerForSBSolution_EM",          // 55
    "SolutionEmbeddedServer",          // 56
    "SolutionEmbeddedServerCore",      // 57
    "",                                // 58 (unassigned)
    "EssentialBusinessServerMGMT",     // 59
    "EssentialBusinessServerADDL",     // 60
    "EssentialBusinessServerMGMTSVC",  // 61
    "EssentialBusinessServerADDLSVC",  // 62
    "SmallBusinessServerPremiumCore",  // 63
    "ClusterServer_V",                 // 64
    "Embedded",                        // 65
    "Starter_E",                       // 66
    "HomeBasic_E",                     // 67
    "HomePremium_E",                   // 68
    "Professional_E",                  // 69
    "Enterprise_E",                    // 70
    "Ultimate_E",                      // 71
};

}  // namespace

namespace {

constexpr unsigned int kArchitectureAmd64 = 9;

// The 6.x releases both rules know, by product type and minor version.
struct KnownRelease {
    bool workstation;
    unsigned long minorVersion;
    const char* name;
    WindowsVersion number;
};

constexpr KnownRelease kKnownReleases[] = {
    {true, 0, "WindowsVista", WindowsVista},
    {true, 1, "Windows7", Windows7},
    {true, 2, "Windows8", Windows8},
    {false, 0, "WindowsServer2008", WindowsServer2008},
    {false, 1, "WindowsServer2008R2", WindowsServer2008R2},
    {false, 2, "WindowsServer2012", WindowsServer2012},
};

// The 6.x release the facts name (major version checked by the caller), or null.
const KnownRelease* findVersion6Release(const WindowsVersionFacts& facts) {
    for (const KnownRelease& release : kKnownReleases) {
        if (release.workstation == facts.workstation &&
            release.minorVersion == facts.minorVersion) {
            return &release;
        }
    }
    return nullptr;
}

}  // namespace

String describeWindowsVersion(const WindowsVersionFacts& facts) {
    Logger* log = Logger::instance();
    String description;
    if (facts.versionRead) {
        description = facts.servicePack;
        log->out(LOGLEVEL_INFO, "Authentication::GetWindowsVersion %d %d %d %d \"%s\"\n",
                 static_cast<int>(facts.majorVersion), static_cast<int>(facts.minorVersion),
                 static_cast<int>(facts.buildNumber), static_cast<int>(facts.platformId),
                 facts.servicePack.c_str());
        if (facts.majorVersion == 6) {
            const KnownRelease* release = findVersion6Release(facts);
            description = release ? release->name : "";
        }
        log->out(LOGLEVEL_INFO, "Authentication::GetWindowsVersion OS \"%s\"\n",
                 description.c_str());
    }
    if (facts.hasProductInfo) {
        String flavour = Authentication::GetWindowsFlavour(facts.productType);
        if (!flavour.empty()) {
            description += "_" + flavour;
            if (!facts.servicePack.empty()) {
                description += "_" + facts.servicePack;
            }
        }
    } else {
        log->out(LOGLEVEL_ERROR, "Authentication::GetWindowsVersion is NULL error %d\n",
                 facts.productInfoError);
    }
    if (!facts.platform.empty()) {
        description += "_" + facts.platform;
    }
    return finishVersionDescription(description);
}

WindowsVersion windowsVersionNumber(const WindowsVersionFacts& facts) {
    if (!facts.versionRead || facts.majorVersion != 6) {
        return WindowsUnknown;
    }
    const KnownRelease* release = findVersion6Release(facts);
    return release ? release->number : WindowsUnknown;
}

String platformFromArchitecture(unsigned int architecture) {
    return architecture == kArchitectureAmd64 ? "amd64" : "x86";
}

String finishVersionDescription(String description) {
    for (char& c : description) {
        if (c == ' ') {
            c = '_';
        }
    }
    Logger::instance()->out(LOGLEVEL_INFO, "Authentication::GetWindowsVersion %s\n",
                            description.c_str());
    return description;
}

String settingsWindowsPlatform() {
    String platform = SystemInfo::platform();
    Logger::instance()->out(LOGLEVEL_INFO, "Settings::getWindowsPlatform() platfrom %s\n",
                            platform.c_str());
    return platform;
}

int settingsWindowsVersion() {
    Logger::instance()->out(LOGLEVEL_INFO, "Settings::getWindowsVersion()\n");
    WindowsVersion version = SystemInfo::windowsVersion();
    Logger::instance()->out(LOGLEVEL_INFO, "Settings::getWindowsVersion %d\"\n", version);
    return version;
}

String windowsEditionName(unsigned long productType) {
    if (productType < kFlavours.size()) {
        // Checked again: a bound that let one more through would throw here
        // rather than read past the table.
        return String(kFlavours.at(productType));
    }
    return String();
}

#include "SystemInfo.h"

#include "Authentication.h"
#include "Logger.h"

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

#include "Authentication.h"

#include "Logger.h"
#include "SystemInfo.h"

namespace {

// Indexed by Windows' own product-type numbers; empty entries are unassigned.
const char* const kFlavours[] = {
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

String Authentication::getSystemName() {
    String name = SystemInfo::computerName();
    if (!name.empty()) {
        Logger::instance()->out(LOGLEVEL_INFO, "Authentication::getSystemName %s\n", name.c_str());
    }
    return name;
}

String Authentication::GetWindowsPlatform() {
    String platform = SystemInfo::platform();
    Logger::instance()->out(LOGLEVEL_INFO, "Authentication::GetWindowsPlatform() platfrom %s\n",
                            platform.c_str());
    return platform;
}

String Authentication::GetWindowsVersion() {
    Logger::instance()->out(LOGLEVEL_INFO, "Authentication::GetWindowsVersion\n");
    return SystemInfo::versionDescription();
}

String Authentication::GetWindowsFlavour(unsigned long productType) {
    String flavour;
    if (productType < sizeof(kFlavours) / sizeof(kFlavours[0])) {
        flavour = kFlavours[productType];
    }
    if (flavour.empty()) {
        Logger::instance()->out(LOGLEVEL_INFO, "Authentication::GetWindowsFlavour ret %s\n",
                                flavour.c_str());
    }
    return flavour;
}

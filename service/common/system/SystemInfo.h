#pragma once

#include "base/String.h"

// The numeric Windows version the service hands to the driver.
enum WindowsVersion {
    WindowsUnknown = 0,
    WindowsVista = 17,
    WindowsServer2008 = 18,
    WindowsServer2008R2 = 19,
    Windows7 = 20,
    Windows8 = 21,
    WindowsServer2012 = 22,
};

// What the Windows version queries report, for the rules below.
struct WindowsVersionFacts {
    bool versionRead = false;  // the extended version query succeeded
    unsigned long majorVersion = 0;
    unsigned long minorVersion = 0;
    unsigned long buildNumber = 0;
    unsigned long platformId = 0;
    bool workstation = false;       // product type 1 (not a server or domain controller)
    String servicePack;             // e.g. "Service Pack 1"; may be empty
    bool hasProductInfo = false;    // kernel32 exports GetProductInfo
    unsigned long productType = 0;  // what GetProductInfo gave
    int productInfoError = 0;       // system error when GetProductInfo is missing
    String platform;                // "amd64" or "x86"
};

// The operating-system description sent to the cloud, spaces turned to "_".
String describeWindowsVersion(const WindowsVersionFacts& facts);
// Only 6.x is known; everything else, including a failed query, is WindowsUnknown.
WindowsVersion windowsVersionNumber(const WindowsVersionFacts& facts);
// Processor architecture 9 (x64) is "amd64", anything else "x86".
String platformFromArchitecture(unsigned int architecture);
// Turns spaces into "_" and logs the final description.
String finishVersionDescription(String description);
// The edition name of a Windows product type ("Professional" for 48); empty
// for an unassigned or unknown one.
String windowsEditionName(unsigned long productType);

// Settings' views of the platform, with Settings' log lines.
String settingsWindowsPlatform();
int settingsWindowsVersion();

// Implemented once per platform (WinSystemInfo.cpp, LinuxSystemInfo.cpp).
namespace SystemInfo {

// The computer's name, at most 15 characters, or empty when unavailable.
String computerName();
// "amd64" or "x86" for the processor the system runs on.
String platform();
// The operating-system description for the cloud (finished, see above).
String versionDescription();
// The numeric version; WindowsUnknown off Windows.
WindowsVersion windowsVersion();
// The standard name of the local time zone (the runtime's first time-zone
// name after reading the zone data), e.g. "Pacific Standard Time" or "CET".
String timeZoneName();

}  // namespace SystemInfo

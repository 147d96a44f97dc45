#include <windows.h>

#include <ctime>

#include "cloud/Authentication.h"
#include "system/SystemInfo.h"

namespace {

// Looked up by name: older systems lack them.
typedef void(WINAPI* GetNativeSystemInfoFunction)(LPSYSTEM_INFO);
typedef BOOL(WINAPI* GetProductInfoFunction)(DWORD, DWORD, DWORD, DWORD, PDWORD);

template <typename Function>
Function kernel32Function(const char* name) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FARPROC function = kernel32 ? GetProcAddress(kernel32, name) : nullptr;
    // Through void (*)(), which GCC accepts as a cast between function types.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(function));
}

// Reads the version record; GetVersionExA is deprecated but is the call that
// reports the service-pack text and product type together.
bool readVersion(OSVERSIONINFOEXA& info) {
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) != 0;
#pragma GCC diagnostic pop
}

WindowsVersionFacts versionFacts(const OSVERSIONINFOEXA& info, bool read) {
    WindowsVersionFacts facts;
    facts.versionRead = read;
    if (read) {
        facts.majorVersion = info.dwMajorVersion;
        facts.minorVersion = info.dwMinorVersion;
        facts.buildNumber = info.dwBuildNumber;
        facts.platformId = info.dwPlatformId;
        facts.workstation = info.wProductType == VER_NT_WORKSTATION;
        facts.servicePack = info.szCSDVersion;
    }
    return facts;
}

}  // namespace

namespace SystemInfo {

String computerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof(name);
    if (!GetComputerNameA(name, &size)) {
        return String();
    }
    return String(name);
}

String platform() {
    SYSTEM_INFO info;
    ZeroMemory(&info, sizeof(info));
    auto getNativeSystemInfo = kernel32Function<GetNativeSystemInfoFunction>("GetNativeSystemInfo");
    if (getNativeSystemInfo) {
        getNativeSystemInfo(&info);
    } else {
        GetSystemInfo(&info);
    }
    return platformFromArchitecture(info.wProcessorArchitecture);
}

String versionDescription() {
    OSVERSIONINFOEXA info;
    bool read = readVersion(info);
    WindowsVersionFacts facts = versionFacts(info, read);
    auto getProductInfo = kernel32Function<GetProductInfoFunction>("GetProductInfo");
    if (getProductInfo) {
        DWORD productType = 0;
        getProductInfo(info.dwMajorVersion, info.dwMinorVersion, info.wServicePackMajor,
                       info.wServicePackMinor, &productType);
        facts.hasProductInfo = true;
        facts.productType = productType;
    } else {
        facts.productInfoError = static_cast<int>(GetLastError());
    }
    facts.platform = Authentication::GetWindowsPlatform();
    return describeWindowsVersion(facts);
}

WindowsVersion windowsVersion() {
    OSVERSIONINFOEXA info;
    bool read = readVersion(info);
    return windowsVersionNumber(versionFacts(info, read));
}

String timeZoneName() {
    _tzset();
    return String(_tzname[0]);
}

}  // namespace SystemInfo

#include "WinDevice.h"

#include <gtest/gtest.h>

#include <string>

#include "cloud/Authentication.h"
#include "system/SystemInfo.h"
#include "TestSupport.h"

namespace {

// Whether the log holds `line` as a whole line (the log file has CRLF line
// ends on Windows).
bool logHasLine(const std::string& line) {
    return testLogContains(line + "\n") || testLogContains(line + "\r\n");
}

bool isSignatureText(const std::string& text) {
    if (text.empty()) {
        return true;
    }
    if (text.size() != 12) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

TEST(WinDevice, ListsAdaptersAndReadsTheComputerName) {
    WinDevice* device = WinDevice::instance();
    EXPECT_EQ(Device::instance(), device);
    EXPECT_EQ(WinDevice::instance(), device);
    String signature = device->getDeviceSignature();
    EXPECT_TRUE(isSignatureText(signature)) << signature;
    EXPECT_TRUE(logHasLine("GetAdaptersAddresses outBufLen 15360"));
    EXPECT_TRUE(logHasLine("WinDevice::WinDevice devSign " + signature));
    EXPECT_FALSE(device->getSystemName().empty());
    EXPECT_LE(device->getSystemName().size(), 15u);
    EXPECT_EQ(Authentication::getSystemName(), device->getSystemName());
}

// Wine reports Windows 7 (6.1 workstation) on x64 unless configured otherwise.
TEST(WinSystemInfo, WineLooksLikeWindows7OnX64) {
    String description = Authentication::GetWindowsVersion();
    EXPECT_EQ(description.rfind("Windows7", 0), 0u) << description;
    EXPECT_EQ(description.find(' '), std::string::npos) << description;
    EXPECT_EQ(description.substr(description.size() - 6), "_amd64") << description;
    EXPECT_EQ(settingsWindowsVersion(), Windows7);
    EXPECT_EQ(settingsWindowsPlatform(), "amd64");
}

}  // namespace

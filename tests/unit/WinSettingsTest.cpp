// The settings file's protection on Windows.

#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "SettingsFixture.h"

namespace {

TEST_F(SettingsTest, TheFileIsPrivate) {
    const std::string path = dir.file("zorvane.cred");
    writeFile(path, "world readable\n");
    auto settings = newSettings(device);
    fill(*settings, device);
    settings->saveToStore();
    DWORD needed = 0;
    GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<char> descriptor(needed);
    ASSERT_TRUE(GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                                 &needed));
    char* sddl = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
        descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr));
    std::string dacl = sddl;
    LocalFree(sddl);
    // Wine maps the DACL onto the file's owner and mode bits, so only the
    // absence of everybody else can be checked the same way everywhere.
    EXPECT_NE(dacl.find(";;;SY)"), std::string::npos) << dacl;
    EXPECT_EQ(dacl.find(";;;WD)"), std::string::npos) << dacl;  // not Everyone
    EXPECT_EQ(dacl.find(";;;BU)"), std::string::npos) << dacl;  // not Users
    EXPECT_EQ(dacl.find(";;;AU)"), std::string::npos) << dacl;  // not Authenticated Users
}

}  // namespace

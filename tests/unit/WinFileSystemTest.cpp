// The service's folders and files on Windows: made with the protected DACL
// (as Wine maps it onto the owner and mode), an own folder kept with what is
// in it, anything else in a folder's place moved aside.

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "port/FileSystem.h"

namespace {

std::string daclOf(const std::string& path) {
    DWORD needed = 0;
    GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<char> descriptor(needed);
    if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                          &needed)) {
        return "unreadable";
    }
    char* sddl = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        return "unconvertible";
    }
    std::string dacl = sddl;
    LocalFree(sddl);
    return dacl;
}

void expectNobodyElseWrites(const std::string& path) {
    const std::string dacl = daclOf(path);
    EXPECT_NE(dacl.find(";;;SY)"), std::string::npos) << dacl;
    for (const char* others : {";;;WD)", ";;;AU)"}) {
        EXPECT_EQ(dacl.find(others), std::string::npos) << others << " in " << dacl;
    }
}

TEST(WinServiceFolder, IsMadeProtectedAndKeptWithItsFilesOnceItIsTheServices) {
    TempDir dir;
    const std::string folder = dir.file("Zorvane");
    FileSystem::FolderResult made = FileSystem::makeServiceFolder(String(folder + "\\"));
    ASSERT_TRUE(made.usable) << made.note;
    EXPECT_TRUE(made.note.empty()) << made.note;
    expectNobodyElseWrites(folder);

    writeFile(folder + "\\zorvane.cred", "settings\n");
    FileSystem::FolderResult again = FileSystem::makeServiceFolder(String(folder + "\\"));
    EXPECT_TRUE(again.usable) << again.note;
    EXPECT_EQ(readFile(folder + "\\zorvane.cred"), "settings\n");
}

TEST(WinServiceFolder, AFileInItsPlaceIsMovedAside) {
    TempDir dir;
    const std::string folder = dir.file("Zorvane");
    writeFile(folder, "planted\n");
    FileSystem::FolderResult result = FileSystem::makeServiceFolder(String(folder));
    ASSERT_TRUE(result.usable) << result.note;
    EXPECT_NE(std::string(result.note).find(folder + " was not a folder, moved aside to " +
                                            folder + ".moved-"),
              std::string::npos)
        << result.note;
    DWORD attributes = GetFileAttributesA(folder.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
}

TEST(WinServiceFile, TheLogIsPrivateAndAppendedTo) {
    TempDir dir;
    const std::string log = dir.file("zorvane_service.log");
    writeFile(log, "older\n");
    for (const char* line : {"one\n", "two\n"}) {
        FILE* file = FileSystem::openForWriting(String(log), FileSystem::Protection::PRIVATE,
                                                FileSystem::Start::APPEND);
        ASSERT_NE(file, nullptr);
        std::fputs(line, file);
        std::fclose(file);
    }
    EXPECT_EQ(readFile(log), "older\none\ntwo\n");
    expectNobodyElseWrites(log);
    EXPECT_EQ(daclOf(log).find(";;;BU)"), std::string::npos) << daclOf(log);

    String content;
    String why;
    EXPECT_TRUE(FileSystem::readTrustedFile(String(log), content, why)) << why;
    EXPECT_EQ(std::string(content), "older\none\ntwo\n");
}

}  // namespace

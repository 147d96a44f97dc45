#include "update/UpdateManager.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "TestSupport.h"

namespace {

std::map<int, std::string> listOf(const UpdateManager& manager) {
    std::map<int, std::string> list;
    for (const auto& entry : manager.getDownloadList()) {
        list[entry.first] = entry.second;
    }
    return list;
}

TEST(UpdateMetadata, ReadsEachKeyFromCrLfLinesKeepingValuesExactly) {
    UpdateManager manager(nullptr, "/downloads/");
    manager.parseUpdateMetaData(
        "Version: 2.0\r\n"
        "\r\n"
        "notes VersionInfo:Faster; safer\r\n"
        "DownloadUrl:https://u.example/a/one.bin,http://u.example/two.exe,\r\n"
        "SetupFile:install.exe\r\n"
        "Sha256: one.bin  ABCDEF01\r\n"
        "Version:9.9");  // no CR LF: ignored
    EXPECT_EQ(manager.getNewVersion(), " 2.0");  // the blank stays
    EXPECT_EQ(manager.getNewVersionInfo(), "Faster; safer");
    EXPECT_EQ(listOf(manager), (std::map<int, std::string>{{1, "https://u.example/a/one.bin"},
                                                          {2, "http://u.example/two.exe"},
                                                          {3, ""}}));
    EXPECT_EQ(manager.getSetupExePath(), "install.exe");
    ASSERT_EQ(manager.getDigests().size(), 1u);
    EXPECT_EQ(manager.getDigests().at("one.bin"), "abcdef01");
}

TEST(UpdateMetadata, EveryParseStartsFromNothing) {
    UpdateManager manager(nullptr, "/downloads/");
    manager.parseUpdateMetaData(
        "Version:3\r\nVersionInfo:old\r\nDownloadUrl:http://a/1,http://a/2\r\n"
        "SetupFile:x.exe\r\nSha256:1 00\r\n");
    manager.parseUpdateMetaData("DownloadUrl:http://b/9\r\n");
    EXPECT_EQ(manager.getNewVersion(), "");
    EXPECT_EQ(manager.getNewVersionInfo(), "");
    EXPECT_EQ(listOf(manager), (std::map<int, std::string>{{1, "http://b/9"}}));
    EXPECT_EQ(manager.getSetupExePath(), "setup.exe");
    EXPECT_TRUE(manager.getDigests().empty());

    // A body whose only line lacks CR LF changes nothing.
    manager.parseUpdateMetaData("Version:4");
    EXPECT_EQ(manager.getNewVersion(), "");
    EXPECT_EQ(listOf(manager), (std::map<int, std::string>{{1, "http://b/9"}}));
}

TEST(UpdateMetadata, InstallerNameOutsideTheDownloadFolderIsRefused) {
    for (const char* name : {"../../bin/sh", "sub/setup.exe", "..", "C:setup.exe", "a\\b.exe"}) {
        SCOPED_TRACE(name);
        UpdateManager manager(nullptr, "/downloads/");
        manager.parseUpdateMetaData(std::string("SetupFile:") + name + "\r\n");
        EXPECT_EQ(manager.getSetupExePath(), "setup.exe");
    }
}

TEST(UpdateMetadata, UrlsOfTheUpdateServerAndFileNames) {
    const struct {
        const char* connection;
        const char* metadata;
    } servers[] = {
        {"https://127.0.0.1:8443/cgi-bin/connection",
         "https://127.0.0.1:8443/windows7/amd64/UpdateInfo.meta"},
        {"http://cloud.example?x=1", "http://cloud.example/windows7/amd64/UpdateInfo.meta"},
        {"https:///cgi-bin/connection", ""},
        {"cloud.example/cgi-bin", ""},
        {"", ""},
    };
    for (const auto& c : servers) {
        EXPECT_EQ(UpdateManager::metadataUrl(c.connection, "amd64"), c.metadata) << c.connection;
    }
    const struct {
        const char* url;
        const char* name;
    } files[] = {
        {"https://u.example/a/setup.exe", "setup.exe"},
        {"https://u.example/a/", ""},
        {"https://u.example/..", ""},
        {"https://u.example/a\\..\\evil", ""},
        {"plain.bin", "plain.bin"},
    };
    for (const auto& c : files) {
        EXPECT_EQ(UpdateManager::fileNameOf(c.url), c.name) << c.url;
    }
}

TEST(UpdateDownload, NothingListedOrATargetThatCannotBeMadeIsAnError) {
    TempDir dir;
    UpdateManager empty(nullptr, dir.file(""));
    EXPECT_EQ(empty.doUpdate(), ZORVANE_UPDATE_ERROR);

    // No such folder: the file cannot be created, and no transfer is tried.
    UpdateManager missing(nullptr, dir.file("missing/"));
    missing.parseUpdateMetaData("DownloadUrl:http://127.0.0.1:9/setup.exe\r\n");
    LogWatch log;
    EXPECT_EQ(missing.doUpdate(), ZORVANE_UPDATE_ERROR);
    EXPECT_TRUE(log.saw("cannot create " + dir.file("missing/setup.exe")));
    EXPECT_FALSE(log.saw("curl_easy_perform"));
}

}  // namespace

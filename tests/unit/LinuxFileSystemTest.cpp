// The service's files and folders against what another local user planted
// before the service came: links, other names of a file, other owners.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "TestSupport.h"
#include "port/FileSystem.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kOtherUid = 65534;

struct stat statusOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

void writeTo(FILE* file, const char* text) {
    ASSERT_NE(file, nullptr);
    std::fputs(text, file);
    std::fclose(file);
}

struct PlantCase {
    const char* name;
    bool needsRoot;
    // Plants something at `path`; `victim` is a file of root's the attacker aims at.
    std::function<void(const std::string& path, const std::string& victim)> plant;
};

class PlantedFile : public testing::TestWithParam<PlantCase> {
protected:
    TempDir dir;
    std::string path = dir.file("zorvane_service.log");
    std::string victim = dir.file("victim");
};

TEST_P(PlantedFile, IsReplacedByAPrivateFileAndTheVictimKeepsItsContent) {
    if (GetParam().needsRoot && ::geteuid() != 0) {
        GTEST_SKIP() << "needs root to plant a file of another user";
    }
    writeFile(victim, "original\n");
    GetParam().plant(path, victim);

    writeTo(FileSystem::openForWriting(String(path), FileSystem::Protection::PRIVATE,
                                       FileSystem::Start::APPEND),
            "service line\n");

    EXPECT_EQ(readFile(victim), "original\n");
    EXPECT_EQ(readFile(path), "service line\n");
    struct stat status = statusOf(path);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(status.st_uid, ::geteuid());
    EXPECT_EQ(status.st_nlink, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlantedFile,
    testing::Values(
        PlantCase{"LinkToAFile", false,
                  [](const std::string& path, const std::string& victim) {
                      fs::create_symlink(victim, path);
                  }},
        PlantCase{"LinkToNothingYet", false,
                  [](const std::string& path, const std::string& victim) {
                      // Would create a file wherever the link points.
                      fs::create_symlink(victim + ".new", path);
                  }},
        PlantCase{"SecondNameOfAFile", false,
                  [](const std::string& path, const std::string& victim) {
                      fs::create_hard_link(victim, path);
                  }},
        PlantCase{"Fifo", false,
                  [](const std::string& path, const std::string&) {
                      ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
                  }},
        PlantCase{"FileOfAnotherUser", true,
                  [](const std::string& path, const std::string&) {
                      writeFile(path, "planted\n");
                      ASSERT_EQ(::chown(path.c_str(), kOtherUid, kOtherUid), 0);
                      ::chmod(path.c_str(), 0666);
                  }}),
    [](const testing::TestParamInfo<PlantCase>& param) { return param.param.name; });

TEST(ServiceFile, OwnFileKeepsOrLosesItsContentAsAskedAndBecomesPrivate) {
    TempDir dir;
    const std::string path = dir.file("log");
    writeFile(path, "kept\n");
    ::chmod(path.c_str(), 0644);
    writeTo(FileSystem::openForWriting(String(path), FileSystem::Protection::PRIVATE,
                                       FileSystem::Start::APPEND),
            "added\n");
    EXPECT_EQ(readFile(path), "kept\nadded\n");
    EXPECT_EQ(statusOf(path).st_mode & 0777, 0600u);

    writeTo(FileSystem::openForWriting(String(path), FileSystem::Protection::SHARED,
                                       FileSystem::Start::EMPTY),
            "fresh\n");
    EXPECT_EQ(readFile(path), "fresh\n");
    EXPECT_EQ(statusOf(path).st_mode & 0777, 0644u);

    // A folder in the way is not removed: the open fails.
    fs::create_directory(dir.file("folder"));
    EXPECT_EQ(FileSystem::openForWriting(String(dir.file("folder")),
                                         FileSystem::Protection::PRIVATE,
                                         FileSystem::Start::APPEND),
              nullptr);
    EXPECT_TRUE(fs::is_directory(dir.file("folder")));
}

TEST(ServiceFile, RolloverCopyDoesNotWriteThroughALink) {
    TempDir dir;
    const std::string victim = dir.file("victim");
    writeFile(victim, "original\n");
    writeFile(dir.file("log"), "log lines\n");
    fs::create_symlink(victim, dir.file("log1"));
    ASSERT_TRUE(FileSystem::copyFile(String(dir.file("log")), String(dir.file("log1"))));
    EXPECT_EQ(readFile(victim), "original\n");
    EXPECT_EQ(readFile(dir.file("log1")), "log lines\n");
    EXPECT_FALSE(fs::is_symlink(dir.file("log1")));
    EXPECT_EQ(statusOf(dir.file("log1")).st_mode & 0777, 0600u);

    // Nor is a link read as the source.
    fs::create_symlink(victim, dir.file("linked"));
    EXPECT_FALSE(FileSystem::copyFile(String(dir.file("linked")), String(dir.file("copy"))));
}

struct TrustCase {
    const char* name;
    bool needsRoot;
    std::function<void(const std::string& path, const std::string& target)> make;
    const char* why;  // empty: read
};

class ConfigurationFile : public testing::TestWithParam<TrustCase> {};

TEST_P(ConfigurationFile, IsReadOnlyWhenNobodyElseCouldHaveWrittenIt) {
    if (GetParam().needsRoot && ::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a file of another user";
    }
    TempDir dir;
    const std::string path = dir.file("zorvane_cloud.conf");
    const std::string target = dir.file("target");
    writeFile(target, "connection_url=http://elsewhere/\n");
    GetParam().make(path, target);

    String content("stale");
    String why;
    const bool read = FileSystem::readTrustedFile(String(path), content, why);
    EXPECT_EQ(std::string(why), GetParam().why);
    EXPECT_EQ(read, std::string(GetParam().why).empty());
    EXPECT_EQ(std::string(content), read ? "key=value\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigurationFile,
    testing::Values(
        TrustCase{"Own", false,
                  [](const std::string& path, const std::string&) {
                      writeFile(path, "key=value\n");
                      ::chmod(path.c_str(), 0644);
                  },
                  ""},
        TrustCase{"Link", false,
                  [](const std::string& path, const std::string& target) {
                      fs::create_symlink(target, path);
                  },
                  "a link"},
        TrustCase{"WritableByEverybody", false,
                  [](const std::string& path, const std::string&) {
                      writeFile(path, "key=value\n");
                      ::chmod(path.c_str(), 0666);
                  },
                  "writable by everybody"},
        TrustCase{"Folder", false,
                  [](const std::string& path, const std::string&) {
                      fs::create_directory(path);
                  },
                  "not a plain file"},
        TrustCase{"OfAnotherUser", true,
                  [](const std::string& path, const std::string&) {
                      writeFile(path, "key=value\n");
                      ASSERT_EQ(::chown(path.c_str(), kOtherUid, kOtherUid), 0);
                  },
                  "owned by uid 65534"}),
    [](const testing::TestParamInfo<TrustCase>& param) { return param.param.name; });

TEST(ConfigurationFile, MissingIsNotAnError) {
    TempDir dir;
    String content;
    String why;
    EXPECT_FALSE(FileSystem::readTrustedFile(String(dir.file("none")), content, why));
    EXPECT_TRUE(why.empty());
}

struct FolderCase {
    const char* name;
    bool needsRoot;
    std::function<void(const std::string& folder, const std::string& elsewhere)> make;
    const char* note;  // a part of the note; empty: accepted as it is
};

class ServiceFolder : public testing::TestWithParam<FolderCase> {};

TEST_P(ServiceFolder, IsTheServicesOwnAndHoldsNothingPlanted) {
    if (GetParam().needsRoot && ::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a folder of another user";
    }
    TempDir dir;
    const std::string folder = dir.file("shared/zorvane");
    const std::string elsewhere = dir.file("elsewhere");
    fs::create_directories(dir.file("shared"));
    fs::create_directories(elsewhere);
    GetParam().make(folder, elsewhere);

    FileSystem::FolderResult result = FileSystem::makeServiceFolder(String(folder + "/"));
    ASSERT_TRUE(result.usable) << result.note;
    EXPECT_NE(std::string(result.note).find(GetParam().note), std::string::npos) << result.note;
    struct stat status = statusOf(folder);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_uid, ::geteuid());
    EXPECT_EQ(status.st_mode & 07777, 0755u);
    EXPECT_FALSE(fs::exists(folder + "/zorvane_service.log"));  // nothing planted is kept
    EXPECT_TRUE(fs::exists(elsewhere + "/mine"));               // a link's target is untouched
    if (std::string(GetParam().note).empty()) {
        EXPECT_TRUE(result.note.empty()) << result.note;
    } else {
        EXPECT_NE(std::string(result.note).find(" moved aside to " + folder + ".moved-"),
                  std::string::npos)
            << result.note;
    }
}

void plantLogLink(const std::string& folder, const std::string& elsewhere) {
    fs::create_symlink(elsewhere + "/mine", folder + "/zorvane_service.log");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServiceFolder,
    testing::Values(
        FolderCase{"Missing", false,
                   [](const std::string&, const std::string& elsewhere) {
                       writeFile(elsewhere + "/mine", "x");
                   },
                   ""},
        FolderCase{"OwnButClosed", false,
                   [](const std::string& folder, const std::string& elsewhere) {
                       writeFile(elsewhere + "/mine", "x");
                       fs::create_directory(folder);
                       ::chmod(folder.c_str(), 0700);
                   },
                   ""},
        FolderCase{"Link", false,
                   [](const std::string& folder, const std::string& elsewhere) {
                       writeFile(elsewhere + "/mine", "x");
                       plantLogLink(elsewhere, elsewhere);
                       fs::create_directory_symlink(elsewhere, folder);
                   },
                   " was a link,"},
        FolderCase{"PlainFile", false,
                   [](const std::string& folder, const std::string& elsewhere) {
                       writeFile(elsewhere + "/mine", "x");
                       writeFile(folder, "x");
                   },
                   " was not a folder,"},
        FolderCase{"WritableByEverybody", false,
                   [](const std::string& folder, const std::string& elsewhere) {
                       writeFile(elsewhere + "/mine", "x");
                       fs::create_directory(folder);
                       ::chmod(folder.c_str(), 0777);
                       plantLogLink(folder, elsewhere);
                   },
                   " was writable by everybody,"},
        FolderCase{"OfAnotherUser", true,
                   [](const std::string& folder, const std::string& elsewhere) {
                       writeFile(elsewhere + "/mine", "x");
                       fs::create_directory(folder);
                       plantLogLink(folder, elsewhere);
                       ASSERT_EQ(::lchown((folder + "/zorvane_service.log").c_str(), kOtherUid,
                                          kOtherUid),
                                 0);
                       ASSERT_EQ(::chown(folder.c_str(), kOtherUid, kOtherUid), 0);
                   },
                   " was owned by uid 65534,"}),
    [](const testing::TestParamInfo<FolderCase>& param) { return param.param.name; });

TEST(ServiceFolder, OwnFolderKeepsWhatIsInIt) {
    TempDir dir;
    const std::string folder = dir.file("zorvane");
    fs::create_directory(folder);
    writeFile(folder + "/zorvane.cred", "settings\n");
    FileSystem::FolderResult result = FileSystem::makeServiceFolder(String(folder));
    EXPECT_TRUE(result.usable);
    EXPECT_TRUE(result.note.empty()) << result.note;
    EXPECT_EQ(readFile(folder + "/zorvane.cred"), "settings\n");
}

}  // namespace

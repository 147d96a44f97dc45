// The settings file on Linux: its protection, and a disk that runs full.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "SettingsFixture.h"

namespace {

TEST_F(SettingsTest, TheFileIsPrivate) {
    const std::string path = dir.file("zorvane.cred");
    writeFile(path, "world readable\n");
    chmod(path.c_str(), 0644);
    auto settings = newSettings(device);
    fill(*settings, device);
    settings->saveToStore();
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    std::remove(path.c_str());
    settings->loadFromStore();  // a missing file is created private too
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

}  // namespace

namespace {

// A tiny file system of its own, so the test can fill it up (root only).
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& where) : mPath(where) {
        std::filesystem::create_directories(mPath);
        const std::string command = "mount -t tmpfs -o size=64k,mode=0755 tmpfs '" + mPath +
                                    "' 2>/dev/null";
        mMounted = std::system(command.c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (mMounted) {
            std::system(("umount '" + mPath + "'").c_str());
        }
    }
    bool mounted() const { return mMounted; }

    // Writes `filler` until the file system has no room left.
    void fill(const std::string& filler) const {
        FILE* file = std::fopen(filler.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const std::string block(512, 'f');
        while (std::fwrite(block.data(), 1, block.size(), file) == block.size() &&
               std::fflush(file) == 0) {
        }
        std::fclose(file);
    }

private:
    std::string mPath;
    bool mMounted = false;
};

TEST_F(SettingsTest, AFullDiskKeepsTheFormerFileAndTheFormerMap) {
    SmallFileSystem small(dir.file("small"));
    if (!small.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    }
    FileStore smallStore(dir.file("small/zorvane.cred"), FileStore::PRIVATE);
    Settings settings(&smallStore);
    settings.setDeviceInfo(&device);
    fill(settings, device);
    ASSERT_EQ(settings.updateAndSaveSysZorvUserMap("S-1-22-1-1000, 0\n"), UserMapChange::SAVED);
    const std::string saved = readFile(dir.file("small/zorvane.cred"));
    ASSERT_NE(saved.find("S-1-22-1-1000, 0\n"), std::string::npos) << saved;

    small.fill(dir.file("small/filler"));
    LogWatch log;
    EXPECT_EQ(settings.updateAndSaveSysZorvUserMap("S-1-22-1-1000, 7\nS-1-22-1-1001, 7\n"),
              UserMapChange::NOT_SAVED);
    EXPECT_EQ(settings.getSysZorvUserMap(), (SysZorvUserMap{{"S-1-22-1-1000", 0}}));
    EXPECT_FALSE(settings.saveToStore());
    EXPECT_TRUE(log.saw("FileStore::close write failed")) << log.text();
    EXPECT_TRUE(log.saw("Settings::saveToStore() failed - the settings file keeps its former "
                        "contents"));
    EXPECT_EQ(readFile(dir.file("small/zorvane.cred")), saved);
    EXPECT_FALSE(fileExists(dir.file("small/zorvane.cred.new")));

    std::remove(dir.file("small/filler").c_str());
    EXPECT_EQ(settings.updateAndSaveSysZorvUserMap("S-1-22-1-1000, 7\n"), UserMapChange::SAVED);
    EXPECT_NE(readFile(dir.file("small/zorvane.cred")).find("S-1-22-1-1000, 7\n"),
              std::string::npos);
}

}  // namespace

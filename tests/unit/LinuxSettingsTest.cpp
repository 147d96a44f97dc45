// The settings file's protection on Linux.

#include <sys/stat.h>

#include <cstdio>
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

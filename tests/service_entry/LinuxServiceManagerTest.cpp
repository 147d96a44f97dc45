// ServiceManager over systemctl, against the stand-in systemctl, and the
// install path from the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "port/InstallInfo.h"
#include "LinuxProcess.h"
#include "ServiceManager.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

class SystemdServiceManager : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(mRoot.path() / "run/systemd/system");
        fs::create_directories(mRoot.path() / "etc/systemd/system");
        fs::create_directories(mRoot.path() / "bin");
        fs::copy_file(ZORVANE_FAKE_SYSTEMCTL, mRoot.path() / "bin/systemctl");
        fs::permissions(mRoot.path() / "bin/systemctl", fs::perms::owner_all);
        // The program to reinstall sits where a shell would split or
        // unquote its path unless it is quoted well.
        fs::create_directories(mRoot.path() / "dir with 'quote");
        mProgram = mRoot.file("dir with 'quote/zorv_man");
        writeFile(mProgram, "#!/bin/sh\necho \"$1\" >>\"$(dirname \"$0\")/calls.txt\"\n");
        fs::permissions(mProgram, fs::perms::owner_all);
    }

    std::string unitFile() const { return mRoot.file("etc/systemd/system/zorvman.service"); }
    std::string fakeFile(const std::string& name) const { return mRoot.file("fake/" + name); }

    TempDir mRoot;
    ScopedEnvironment mSystemdRoot{"ZORVANE_SYSTEMD_ROOT", mRoot.path().string()};
    ScopedEnvironment mPath{"PATH", mRoot.file("bin") + ":" + std::getenv("PATH")};
    std::string mProgram;
};

TEST_F(SystemdServiceManager, ReinstallsMissingUnitThroughItsProgram) {
    LogWatch log;
    EXPECT_EQ(ServiceManager("ZorvMan", mProgram).manage(), 1);
    EXPECT_TRUE(log.saw("error in OpenService 2\n"));
    std::string quoted = "'" + mRoot.file("dir with '\\''quote/zorv_man") + "'";
    EXPECT_TRUE(log.saw("command " + quoted + " -u\n")) << log.text();
    EXPECT_TRUE(log.saw("command " + quoted + " -i\n"));
    EXPECT_EQ(readFile(mRoot.file("dir with 'quote/calls.txt")), "-u\n-i\n");
}

TEST_F(SystemdServiceManager, StartsStoppedUnitAndLeavesRunningOne) {
    writeFile(unitFile(), "[Service]\n");
    fs::create_directories(mRoot.path() / "fake");
    writeFile(fakeFile("zorvman.service.status"), "3");
    ServiceManager manager("ZorvMan", mProgram);
    {
        LogWatch log;
        EXPECT_EQ(manager.manage(), 1);
        EXPECT_TRUE(log.saw("service has stopped with error 0 3\n")) << log.text();
        EXPECT_TRUE(log.saw("Trying to start the service\n"));
        EXPECT_EQ(readFile(fakeFile("zorvman.service.state")), "active\n");
    }
    {
        LogWatch log;
        EXPECT_EQ(manager.manage(), 1);
        EXPECT_TRUE(log.saw("service is RUNNING\n")) << log.text();
        EXPECT_FALSE(log.saw("Trying to start"));
    }
    EXPECT_FALSE(fileExists(mRoot.file("dir with 'quote/calls.txt")));
}

TEST_F(SystemdServiceManager, ReportsFailuresAndCarriesOn) {
    writeFile(unitFile(), "[Service]\n");
    fs::create_directories(mRoot.path() / "fake");
    writeFile(fakeFile("fail-start"), "");
    {
        LogWatch log;
        EXPECT_EQ(ServiceManager("ZorvMan", mProgram).manage(), 1);
        EXPECT_TRUE(log.saw("service start failed err 1")) << log.text();
    }
    fs::remove(mRoot.path() / "run/systemd/system");
    {
        LogWatch log;
        EXPECT_EQ(ServiceManager("ZorvMan", mProgram).manage(), 1);
        EXPECT_TRUE(log.saw("error in OpenSCManager 2\n")) << log.text();
        EXPECT_FALSE(log.saw("command"));
    }
}

TEST(LinuxInstallPath, FromTheEnvironmentOrTheDefault) {
    {
        ScopedEnvironment folder("ZORVANE_INSTALL_DIR", "/srv/zorvane/");
        EXPECT_EQ(InstallInfo::readInstallPath(), "/srv/zorvane");
        EXPECT_EQ(InstallInfo::watchdogProgramPath(InstallInfo::readInstallPath()),
                  "/srv/zorvane/bin/zorv_man");
    }
    ScopedEnvironment unset("ZORVANE_INSTALL_DIR", "");
    EXPECT_EQ(InstallInfo::readInstallPath(), "/opt/zorvane");
}

}  // namespace

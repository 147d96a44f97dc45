// ServiceManager against Wine's service control manager with a test
// service, and the install path read from the registry.
#include <gtest/gtest.h>

#include "port/InstallInfo.h"
#include "ServiceManager.h"
#include "TestSupport.h"
#include "WinScm.h"

namespace {

constexpr char kTestService[] = "ZorvaneTestService";

class ScmServiceManager : public testing::Test {
protected:
    void SetUp() override {
        removeService(kTestService);
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        // A space in the folder: the reinstall command must quote the path.
        mFolder = std::string(temp) + "zorvane svc test\\";
        mProgram = mFolder + "zorvane_test_service.exe";
        CreateDirectoryA(mFolder.c_str(), nullptr);
        DeleteFileA((mFolder + "calls.txt").c_str());
        ASSERT_TRUE(
            CopyFileA(windowsPath(ZORVANE_TEST_SERVICE_PROGRAM).c_str(), mProgram.c_str(), FALSE));
    }
    void TearDown() override {
        removeService(kTestService);
        DeleteFileA((mFolder + "calls.txt").c_str());
    }

    std::string calls() const { return readFile(mFolder + "calls.txt"); }

    std::string mFolder;
    std::string mProgram;
};

TEST_F(ScmServiceManager, ReinstallsMissingStartsStoppedLeavesRunning) {
    ServiceManager manager(kTestService, mProgram);
    {
        LogWatch log;
        EXPECT_EQ(manager.manage(), 1);
        EXPECT_TRUE(log.saw("error in OpenService 1060\n"));
        EXPECT_TRUE(log.saw("command \"\"" + mProgram + "\"\" -u\n"));
        EXPECT_TRUE(log.saw("command \"\"" + mProgram + "\"\" -i\n"));
        EXPECT_EQ(calls(), "-u\n-i\n");
        EXPECT_EQ(serviceState(kTestService), static_cast<DWORD>(SERVICE_RUNNING));
    }
    {
        LogWatch log;
        EXPECT_EQ(manager.manage(), 1);
        EXPECT_TRUE(log.saw("service is RUNNING\n"));
        EXPECT_FALSE(log.saw("Trying to start the service"));
    }
    {
        ScHandle service = openService(kTestService);
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
        ASSERT_TRUE(waitForState(kTestService, SERVICE_STOPPED));

        LogWatch log;
        EXPECT_EQ(manager.manage(), 1);
        EXPECT_TRUE(log.saw("service has stopped with error 0 0\n"));
        EXPECT_TRUE(log.saw("Trying to start the service\n"));
        EXPECT_TRUE(waitForState(kTestService, SERVICE_RUNNING));
        EXPECT_EQ(calls(), "-u\n-i\n");  // started, not reinstalled
    }
}

// The registry value, restored afterwards to what the prefix held.
class ScmInstallPath : public testing::Test {
protected:
    static constexpr char kKey[] = "SOFTWARE\\Zorvane";

    void SetUp() override {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            mKeyExisted = true;
            char value[4096] = {};
            DWORD size = sizeof value - 1;
            mValueExisted =
                RegQueryValueExA(key, "Install Path", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS;
            mValue = value;
            RegCloseKey(key);
        }
    }
    void TearDown() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
        if (mKeyExisted) {
            setValue(mValueExisted ? &mValue : nullptr);
        }
    }

    // Creates the key; with `value`, also the "Install Path" value.
    static void setValue(const std::string* value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        RegDeleteValueA(key, "Install Path");
        if (value) {
            RegSetValueExA(key, "Install Path", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(value->c_str()),
                           static_cast<DWORD>(value->size() + 1));
        }
        RegCloseKey(key);
    }

    bool mKeyExisted = false;
    bool mValueExisted = false;
    std::string mValue;
};

TEST_F(ScmInstallPath, ReadsTheValueOrLogsWhyNot) {
    const std::string folder = "C:\\Program Files\\Zorvane";
    // 1000 bytes with the terminating zero fit; one more does not.
    const std::string longest(999, 'x');
    const std::string tooLong(1000, 'x');
    struct Case {
        const char* name;
        bool key;
        const std::string* value;
        std::string expected;
        const char* logged;
    } cases[] = {
        {"no key", false, nullptr, "", "RegOpenKeyEx error 2\n"},
        {"no value", true, nullptr, "", "RegQueryValueEx error 2\n"},
        {"too long", true, &tooLong, "", "RegQueryValueEx error 234\n"},
        {"longest", true, &longest, longest, nullptr},
        {"folder", true, &folder, folder, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
        if (c.key) {
            setValue(c.value);
        }
        LogWatch log;
        EXPECT_EQ(InstallInfo::readInstallPath(), c.expected);
        if (c.logged) {
            EXPECT_TRUE(log.saw(c.logged)) << log.text();
        } else {
            EXPECT_EQ(log.text(), "");
        }
    }
    EXPECT_EQ(InstallInfo::watchdogProgramPath(folder),
              "C:\\Program Files\\Zorvane\\service files\\zorv_man.exe");
}

}  // namespace

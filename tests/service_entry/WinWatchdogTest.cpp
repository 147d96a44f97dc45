// The watchdog program and the filtering service under Wine's service
// control manager, each installed from an installation folder named in the
// registry, keeping each other installed and running.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "Watchdog.h"
#include "WinScm.h"

namespace {

constexpr char kFilterService[] = "Zorvane_Filter_service";
constexpr char kWatchdogService[] = "ZorvMan";
constexpr char kKey[] = "SOFTWARE\\Zorvane";
// Steps short enough for a test: the watchdog's every 200 ms, the filtering
// service's check passes every 100 ms (it keeps the watchdog every 10).
constexpr char kWatchdogStep[] = " --step-ms 200";
constexpr char kFilterStep[] = " --step-ms 100";

std::string tempFolder() {
    char folder[MAX_PATH] = {};
    GetWindowsDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\Temp\\Zorvane\\";
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// A log file from the moment the object was made on.
class LogTail {
public:
    explicit LogTail(std::string path) : mPath(std::move(path)), mStart(readText(mPath).size()) {}
    std::string text() const {
        std::string all = readText(mPath);
        return all.size() >= mStart ? all.substr(mStart) : all;
    }
    // Polls until the new part holds `line`; false after 15 seconds.
    bool shows(const std::string& line) const {
        for (int i = 0; i < 150; ++i) {
            if (text().find(line) != std::string::npos) {
                return true;
            }
            Sleep(100);
        }
        return false;
    }

private:
    std::string mPath;
    size_t mStart;
};

std::string watchdogLog() {
    return tempFolder() + "zorv_man.log";
}
std::string filterLog() {
    return tempFolder() + "zorvane_service.log";
}

// The registry's "Install Path", given a value for the test and restored
// afterwards to what the prefix held.
class InstallPathValue {
public:
    InstallPathValue() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            char value[4096] = {};
            DWORD size = sizeof value - 1;
            mExisted = RegQueryValueExA(key, "Install Path", nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS;
            mFormer = value;
            RegCloseKey(key);
        }
    }
    ~InstallPathValue() {
        if (mExisted) {
            set(mFormer);
        } else {
            remove();
        }
    }
    InstallPathValue(const InstallPathValue&) = delete;
    InstallPathValue& operator=(const InstallPathValue&) = delete;

    static void set(const std::string& folder) {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegSetValueExA(key, "Install Path", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(folder.c_str()),
                       static_cast<DWORD>(folder.size() + 1));
        RegCloseKey(key);
    }
    static void remove() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "Install Path");
            RegCloseKey(key);
        }
    }

private:
    bool mExisted = false;
    std::string mFormer;
};

// Registers `name` as an automatic own-process service running `commandLine`
// under LocalSystem, as the programs' -i does.
void create(const char* name, const std::string& commandLine) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    ScHandle service(CreateServiceA(manager.get(), name, name, SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << GetLastError();
}

void start(const char* name) {
    ScHandle service = openService(name);
    ASSERT_TRUE(service);
    ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << GetLastError();
}

bool stop(const char* name) {
    ScHandle service = openService(name);
    SERVICE_STATUS status{};
    return service && ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
           waitForState(name, SERVICE_STOPPED);
}

// A paused service holds its loop: it keeps nothing until it continues.
bool pause(const char* name) {
    ScHandle service = openService(name);
    SERVICE_STATUS status{};
    return service && ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status) &&
           waitForState(name, SERVICE_PAUSED);
}

bool resume(const char* name) {
    ScHandle service = openService(name);
    SERVICE_STATUS status{};
    return service && ControlService(service.get(), SERVICE_CONTROL_CONTINUE, &status) &&
           waitForState(name, SERVICE_RUNNING);
}

// Ends every cmd.exe whose parent process is gone.
void endOrphanedInterpreters() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    std::vector<PROCESSENTRY32> processes;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        processes.push_back(entry);
    }
    CloseHandle(snapshot);
    for (const PROCESSENTRY32& process : processes) {
        const bool orphan =
            std::none_of(processes.begin(), processes.end(), [&](const PROCESSENTRY32& other) {
                return other.th32ProcessID == process.th32ParentProcessID;
            });
        if (orphan && _stricmp(process.szExeFile, "cmd.exe") == 0) {
            HANDLE handle = OpenProcess(PROCESS_TERMINATE, FALSE, process.th32ProcessID);
            if (handle) {
                TerminateProcess(handle, 1);
                CloseHandle(handle);
            }
        }
    }
}

// Both programs in an installation folder with a space in its name, the
// registry naming it, both services installed with short steps and running.
class ScmWatchdog : public testing::Test {
protected:
    void SetUp() override {
        removeBoth();
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        mInstallFolder = std::string(temp) + "zorvane wd test";
        const std::string programs = mInstallFolder + "\\service files\\";
        CreateDirectoryA(mInstallFolder.c_str(), nullptr);
        CreateDirectoryA(programs.c_str(), nullptr);
        mFilterProgram = programs + "zorvane_service.exe";
        mWatchdogProgram = programs + "zorv_man.exe";
        ASSERT_TRUE(
            CopyFileA(windowsPath(ZORVANE_SERVICE_PROGRAM).c_str(), mFilterProgram.c_str(), FALSE));
        ASSERT_TRUE(CopyFileA(windowsPath(ZORVANE_WATCHDOG_PROGRAM).c_str(),
                              mWatchdogProgram.c_str(), FALSE));
        InstallPathValue::set(mInstallFolder);

        LogTail watchdog(watchdogLog());
        // Both registered before either runs: neither finds the other missing.
        create(kWatchdogService, "\"" + mWatchdogProgram + "\"" + kWatchdogStep);
        create(kFilterService, "\"" + mFilterProgram + "\"" + kFilterStep);
        start(kWatchdogService);
        start(kFilterService);
        ASSERT_TRUE(waitForState(kWatchdogService, SERVICE_RUNNING));
        ASSERT_TRUE(waitForState(kFilterService, SERVICE_RUNNING));
        ASSERT_TRUE(watchdog.shows("service is RUNNING\n")) << watchdog.text();
    }

    void TearDown() override {
        removeBoth();
        InstallPathValue::remove();
        // A service stopped while its reinstall command runs leaves the
        // command interpreter hanging under Wine, with no parent.
        endOrphanedInterpreters();
    }

    static void removeBoth() {
        // Held first, both: neither starts or reinstalls the other while
        // they go.
        pause(kFilterService);
        pause(kWatchdogService);
        removeService(kWatchdogService);
        removeService(kFilterService);
    }

    InstallPathValue mFormerInstallPath;
    std::string mInstallFolder;
    std::string mFilterProgram;
    std::string mWatchdogProgram;
};

TEST_F(ScmWatchdog, StartsTheStoppedFilteringServiceAtTheNextStep) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(stop(kFilterService));
        LogTail watchdog(watchdogLog());
        EXPECT_TRUE(watchdog.shows("Trying to start the service\n")) << watchdog.text();
        EXPECT_TRUE(waitForState(kFilterService, SERVICE_RUNNING));
        const std::string log = watchdog.text();
        EXPECT_NE(log.find("service has stopped with error 0 0\n"), std::string::npos) << log;
        // Started, not reinstalled.
        EXPECT_EQ(log.find("command "), std::string::npos) << log;
    }
}

TEST_F(ScmWatchdog, ReinstallsTheDeletedFilteringServiceFromTheInstallFolder) {
    // Held while the service goes, so that it cannot start it between the
    // stop and the deletion.
    ASSERT_TRUE(pause(kWatchdogService));
    removeService(kFilterService);
    LogTail watchdog(watchdogLog());
    ASSERT_TRUE(resume(kWatchdogService));
    EXPECT_TRUE(watchdog.shows("command \"\"" + mFilterProgram + "\"\" -i\n")) << watchdog.text();
    EXPECT_TRUE(waitForState(kFilterService, SERVICE_RUNNING));
    const std::string log = watchdog.text();
    for (const std::string& line : {
             std::string("error in OpenService 1060\n"),
             "getInstallPath() " + mInstallFolder + "\n",
             "zorvane service path " + mFilterProgram + "\n",
             "command \"\"" + mFilterProgram + "\"\" -u\n",
         }) {
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
    }
    EXPECT_LT(log.find(" -u\n"), log.find(" -i\n"));
    // The service's own -i registered it.
    EXPECT_EQ(registrationOf(kFilterService).binaryPath, "\"" + mFilterProgram + "\"");
}

TEST_F(ScmWatchdog, TheFilteringServiceStartsAndReinstallsTheWatchdog) {
    {
        LogTail filter(filterLog());
        ASSERT_TRUE(stop(kWatchdogService));
        EXPECT_TRUE(filter.shows("Trying to start the service\n")) << filter.text();
        EXPECT_TRUE(waitForState(kWatchdogService, SERVICE_RUNNING));
    }
    {
        ASSERT_TRUE(pause(kFilterService));
        removeService(kWatchdogService);
        LogTail filter(filterLog());
        ASSERT_TRUE(resume(kFilterService));
        EXPECT_TRUE(filter.shows("command \"\"" + mWatchdogProgram + "\"\" -i\n")) << filter.text();
        EXPECT_TRUE(waitForState(kWatchdogService, SERVICE_RUNNING));
        // The watchdog's own -i registered it.
        Registration registration = registrationOf(kWatchdogService);
        EXPECT_EQ(registration.binaryPath, "\"" + mWatchdogProgram + "\"");
        EXPECT_EQ(registration.startType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(registration.description, "Zorvane Internet Filter Service Manager");
    }
}

// Without the registry value the watchdog looks in the installer's default
// folder.
TEST(ScmWatchdogInstallPath, FallsBackToTheDefaultFolder) {
    InstallPathValue former;
    InstallPathValue::remove();
    LogWatch log;
    EXPECT_EQ(Watchdog::getInstallPath(), "C:\\Program Files (x86)\\Zorvane");
    EXPECT_TRUE(log.saw("RegQueryValueEx error 2\n") || log.saw("RegOpenKeyEx error 2\n"))
        << log.text();
    EXPECT_TRUE(log.saw("getInstallPath() C:\\Program Files (x86)\\Zorvane\n")) << log.text();
}

}  // namespace

// The Windows installer run silently under Wine's service manager: what it
// installs, registers and starts; an uninstall that leaves nothing behind;
// and one the password gate refuses, which removes nothing.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>
// clang-format on

#include <future>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "CComand.h"
#include "CReply.h"
#include "Dialog.h"
#include "TestSupport.h"
#include "WinScm.h"
#include "WineDesktop.h"
#include "WineServiceSystem.h"

namespace {

constexpr char kFilterService[] = "Zorvane_Filter_service";
constexpr char kWatchdogService[] = "ZorvMan";
constexpr char kKey[] = "SOFTWARE\\Zorvane";
constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zorvane";
constexpr char kDriverLine[] =
    "The kernel filter's driver (zorvane.sys) is not part of this build: its kernel service "
    "\"zorvane\" is not registered.";

std::string environmentText(const char* name) {
    char value[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableA(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(value, length) : std::string();
}

// The folder the programs fall back to, which the installer takes by default.
std::string installFolder() {
    return environmentText("ProgramFiles(x86)") + "\\Zorvane";
}

std::string shortcutPath() {
    return environmentText("ProgramData") +
           "\\Microsoft\\Windows\\Start Menu\\Programs\\Zorvane Filter Settings.lnk";
}

bool keyExists(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// A text value of the local-machine hive; "(none)" when it cannot be read.
std::string registryText(const char* path, const char* name) {
    char value[2048] = {};
    DWORD size = sizeof value - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, path, name, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS) {
        return "(none)";
    }
    return value;
}

int count(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

// The access list of a file or folder in SDDL ("D:P(A;OICI;FA;;;SY)..."),
// or what failed.
std::string accessList(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    const DWORD error =
        GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return "error " + std::to_string(error);
    }
    std::string list = "no text";
    LPSTR text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        list = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return list;
}

// The SID of the user running this test, as text.
std::string ownSid() {
    HANDLE token = nullptr;
    std::string sid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        std::vector<char> buffer(256);
        DWORD needed = 0;
        LPSTR text = nullptr;
        if (GetTokenInformation(token, TokenUser, buffer.data(), buffer.size(), &needed) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid,
                                   &text)) {
            sid = text;
            LocalFree(text);
        }
        CloseHandle(token);
    }
    return sid;
}

// The services' programs run as SYSTEM from the installation folder: its
// list is the installer's own, not what the parent folder hands down (the
// root of a drive lets every user change what they create below it). Only
// SYSTEM and the administrators may change it (Wine shows the installing
// administrator, this test's user, in their place), nobody else more than
// read and run, and "Everyone" is not named at all.
void expectOnlyAdministratorsMayChange(const std::string& path) {
    SCOPED_TRACE(path);
    const std::string list = accessList(path);
    const std::string self = ownSid();
    ASSERT_FALSE(self.empty());
    const std::regex ace(R"(\((A|D);([^;]*);([^;]*);[^;]*;[^;]*;([^)]*)\))");
    int allowed = 0;
    for (std::sregex_iterator it(list.begin(), list.end(), ace), end; it != end; ++it) {
        const std::string kind = (*it)[1];
        const std::string rights = (*it)[3];
        const std::string who = (*it)[4];
        EXPECT_NE(who, "WD") << list;
        if (kind == "A" && who != "SY" && who != "BA" && who != self) {
            EXPECT_TRUE(rights == "0x1200a9" || rights == "FRFX") << who << " may " << rights;
        }
        allowed += kind == "A";
    }
    EXPECT_GT(allowed, 0) << list;
}

// The restart 100 ms after a failure; Wine refuses to report failure
// actions (ERROR_INVALID_LEVEL), Windows keeps them.
void expectRestartOnFailure(const char* name) {
    SCOPED_TRACE(name);
    ScHandle service = openService(name);
    ASSERT_TRUE(service);
    std::vector<char> buffer(8192);
    DWORD needed = 0;
    if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                              reinterpret_cast<BYTE*>(buffer.data()), buffer.size(), &needed)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
        return;
    }
    auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
    ASSERT_EQ(failure->cActions, 1u);
    EXPECT_EQ(failure->lpsaActions[0].Type, SC_ACTION_RESTART);
    EXPECT_EQ(failure->lpsaActions[0].Delay, 100u);
}

// Names of the running processes that run one of the installed programs.
std::vector<std::string> installedProgramsRunning() {
    std::vector<std::string> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "no process snapshot: " << GetLastError();
        return found;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        for (const char* program : {"zorvane_service.exe", "zorv_man.exe", "ZorvaneUi.exe"}) {
            if (_stricmp(entry.szExeFile, program) == 0) {
                found.push_back(entry.szExeFile);
            }
        }
    }
    CloseHandle(snapshot);
    return found;
}

// Takes a service down without either program bringing the other back.
void disableAndRemove(const char* name) {
    if (ScHandle service = openService(name)) {
        ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    removeService(name);
}

// Gives an installed service a new command line and restarts it with it.
void restartWith(const char* name, const std::string& commandLine) {
    SCOPED_TRACE(name);
    {
        ScHandle service = openService(name);
        ASSERT_TRUE(service);
        ASSERT_TRUE(ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                         SERVICE_NO_CHANGE, commandLine.c_str(), nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr))
            << GetLastError();
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    }
    // The other program may start it first; either way it runs the new line.
    for (int i = 0; i < 100 && serviceState(name) != SERVICE_RUNNING; ++i) {
        if (serviceState(name) == SERVICE_STOPPED) {
            ScHandle service = openService(name);
            StartServiceA(service.get(), 0, nullptr);
        }
        Sleep(100);
    }
    ASSERT_EQ(serviceState(name), static_cast<DWORD>(SERVICE_RUNNING));
}

class ScmInstaller : public testing::Test {
protected:
    void SetUp() override {
        if (std::string(ZORVANE_INSTALLER).empty()) {
            GTEST_SKIP() << "makensis was not found when this build was configured: "
                            "no installer (Debian package nsis)";
        }
        removeEverything();
    }

    void TearDown() override {
        SetEnvironmentVariableA("ZORVANE_GATE_RECORD", nullptr);
        SetEnvironmentVariableA("ZORVANE_GATE_EXIT", nullptr);
        removeEverything();
    }

    // Wine starts an installed auto-start service with every later program
    // in the prefix: nothing of an installation may stay.
    static void removeEverything() {
        disableAndRemove(kWatchdogService);
        disableAndRemove(kFilterService);
        const std::string folder = installFolder();
        for (const char* file :
             {"\\service files\\zorvane_service.exe", "\\service files\\zorv_man.exe",
              "\\User Interface Files\\default.jpg", "\\ZorvaneUi.exe", "\\uninstall.exe",
              "\\install.log"}) {
            DeleteFileA((folder + file).c_str());
        }
        RemoveDirectoryA((folder + "\\service files").c_str());
        RemoveDirectoryA((folder + "\\User Interface Files").c_str());
        RemoveDirectoryA(folder.c_str());
        DeleteFileA(shortcutPath().c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    }

    // `options` as the installer takes them, /D=<folder> last and unquoted.
    static DWORD install(const std::string& options = "") {
        ProgramResult result =
            runProgram("\"" + windowsPath(ZORVANE_INSTALLER) + "\" /S" + options);
        return result.exitCode;
    }

    // The installed uninstaller, run as a copy the way it runs itself (so it
    // can remove its own file), with `folder` given as its installation.
    DWORD uninstall(const std::string& folder) {
        const std::string copy = mTemp.file("uninstall.exe");
        if (!CopyFileA((installFolder() + "\\uninstall.exe").c_str(), copy.c_str(), FALSE)) {
            ADD_FAILURE() << "no installed uninstaller: " << GetLastError();
            return static_cast<DWORD>(-1);
        }
        ProgramResult result = runProgram("\"" + copy + "\" /S _?=" + folder);
        DeleteFileA(copy.c_str());
        return result.exitCode;
    }

    TempDir mTemp;
};

TEST_F(ScmInstaller, SilentInstallRunsBothServicesAndSilentUninstallLeavesNothing) {
    ASSERT_EQ(install(), 0u);
    const std::string folder = installFolder();
    const std::string programs = folder + "\\service files\\";

    ASSERT_TRUE(waitForState(kWatchdogService, SERVICE_RUNNING));
    ASSERT_TRUE(waitForState(kFilterService, SERVICE_RUNNING));
    struct Expected {
        const char* name;
        const char* program;
        const char* description;
    } services[] = {
        {kFilterService, "zorvane_service.exe", "Zorvane Internet Filter Service"},
        {kWatchdogService, "zorv_man.exe", "Zorvane Internet Filter Service Manager"},
    };
    for (const Expected& expected : services) {
        SCOPED_TRACE(expected.name);
        Registration registration = registrationOf(expected.name);
        EXPECT_EQ(registration.state, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_STRCASEEQ(registration.binaryPath.c_str(),
                         ("\"" + programs + expected.program + "\"").c_str());
        EXPECT_EQ(registration.startType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(registration.description, expected.description);
        expectRestartOnFailure(expected.name);
    }

    EXPECT_EQ(readFile(folder + "\\User Interface Files\\default.jpg"),
              readFile(windowsPath(ZORVANE_DEFAULT_PICTURE)));
    for (const std::string& file :
         {folder + "\\ZorvaneUi.exe", programs + "zorvane_service.exe", programs + "zorv_man.exe",
          folder + "\\uninstall.exe", shortcutPath()}) {
        EXPECT_TRUE(fileExists(file)) << file;
    }
    expectOnlyAdministratorsMayChange(folder);
    EXPECT_EQ(registryText(kKey, "Install Path"), folder);
    EXPECT_EQ(registryText(kUninstallKey, "UninstallString"), "\"" + folder + "\\uninstall.exe\"");
    const std::string installLog = readFile(folder + "\\install.log");
    EXPECT_NE(installLog.find(kDriverLine), std::string::npos) << installLog;
    EXPECT_NE(installLog.find("Services ZorvMan and Zorvane_Filter_service are running"),
              std::string::npos)
        << installLog;

    // The worst case for the uninstall: each program checks the other many
    // times a second (the watchdog every 200 ms, the filtering service's
    // passes every 100 ms, its watchdog check every tenth) and reinstalls or
    // restarts it the moment it finds it gone or stopped.
    restartWith(kWatchdogService, "\"" + programs + "zorv_man.exe\" --step-ms 200");
    restartWith(kFilterService, "\"" + programs + "zorvane_service.exe\" --step-ms 100");

    // No parent is signed in: the real gate asks the service and lets the
    // uninstall go on.
    const int asked = count(readServiceLog(), "Settings::GetUserAuthStatus status 0");
    ASSERT_EQ(uninstall(folder), 0u);
    EXPECT_GT(count(readServiceLog(), "Settings::GetUserAuthStatus status 0"), asked);
    DWORD error = 0;
    EXPECT_FALSE(openService(kWatchdogService, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(openService(kFilterService, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_TRUE(installedProgramsRunning().empty());
    EXPECT_EQ(GetFileAttributesA(folder.c_str()), INVALID_FILE_ATTRIBUTES) << folder;
    EXPECT_FALSE(fileExists(shortcutPath()));
    EXPECT_FALSE(keyExists(kKey));
    EXPECT_FALSE(keyExists(kUninstallKey));
}

// The uninstaller's gate (a visible top-level dialog of another process).
HWND gateDialog(const wchar_t* caption) {
    HWND found = nullptr;
    waitFor([&] {
        found = FindWindowW(L"#32770", caption);
        return found && IsWindowVisible(found);
    });
    return found;
}

// Once a parent has signed in, the real gate asks for the password: Cancel
// stops the uninstall with everything in place, the right password lets it
// remove everything.
TEST_F(ScmInstaller, TheGateOfASignedInParentHoldsTheUninstallUntilAnswered) {
    if (!canShowWindows()) {
        GTEST_SKIP() << "no display for windows here; run under xvfb-run (cmake/wine-gui-run.sh)";
    }
    // The installer installs the service; the system gives only the cloud.
    WineServiceSystem system("", ZORVANE_CLOUD_PROGRAM);
    if (!system.cloudProgramExists()) {
        GTEST_SKIP() << "the stand-in cloud " << ZORVANE_CLOUD_PROGRAM
                     << " is not built: build the native preset first";
    }
    ASSERT_EQ(system.startCloud(), "");
    ASSERT_EQ(install(), 0u);
    const std::string folder = installFolder();
    uint32_t signedIn = 0;
    EXPECT_TRUE(waitFor([&] {
        CAuthCommand request(WineServiceSystem::kParent, WineServiceSystem::kPassword);
        std::unique_ptr<CReply> reply = request.execute();
        signedIn = reply ? reply->number(CReply::kKeyAnswer) : 0;
        return signedIn == 1;
    })) << signedIn
        << "\n"
        << system.serviceLog();

    {
        std::future<DWORD> refused =
            std::async(std::launch::async, [&] { return uninstall(folder); });
        HWND login = gateDialog(L"Login");
        ASSERT_TRUE(login);
        click(login, IDCANCEL);
        HWND failure = gateDialog(L"Failure");
        ASSERT_TRUE(failure);
        click(failure, IDOK);
        EXPECT_EQ(refused.get(), 1603u);
    }
    EXPECT_EQ(serviceState(kWatchdogService), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(serviceState(kFilterService), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(fileExists(folder + "\\ZorvaneUi.exe"));
    EXPECT_EQ(registryText(kKey, "Install Path"), folder);

    std::future<DWORD> answered = std::async(std::launch::async, [&] { return uninstall(folder); });
    HWND login = gateDialog(L"Login");
    ASSERT_TRUE(login);
    setText(login, kUserName, widened(WineServiceSystem::kParent));
    setText(login, kPassword, widened(WineServiceSystem::kPassword));
    click(login, IDOK);
    EXPECT_EQ(answered.get(), 0u);
    DWORD error = 0;
    EXPECT_FALSE(openService(kWatchdogService, &error));
    EXPECT_FALSE(openService(kFilterService, &error));
    EXPECT_EQ(GetFileAttributesA(folder.c_str()), INVALID_FILE_ATTRIBUTES) << folder;
    EXPECT_FALSE(keyExists(kKey));
}

// Any exit code but 0 keeps everything; the gate run is always the
// installed program, whatever folder the command line names.
TEST_F(ScmInstaller, UninstallRemovesNothingWhenTheInstalledGateRefuses) {
    ASSERT_EQ(install(), 0u);
    const std::string folder = installFolder();
    ASSERT_TRUE(waitForState(kFilterService, SERVICE_RUNNING));
    ASSERT_TRUE(CopyFileA(windowsPath(ZORVANE_GATE_STUB).c_str(),
                          (folder + "\\ZorvaneUi.exe").c_str(), FALSE));
    // A folder of the caller's with a gate that would let everything through.
    TempDir decoy;
    ASSERT_TRUE(CopyFileA(windowsPath(ZORVANE_GATE_STUB).c_str(),
                          decoy.file("ZorvaneUi.exe").c_str(), FALSE));
    const std::string record = mTemp.file("gate.txt");
    SetEnvironmentVariableA("ZORVANE_GATE_RECORD", record.c_str());

    struct Case {
        const char* gateExit;
        std::string folderArgument;
    } cases[] = {
        {"1603", folder},
        {"1", folder},
        {"1603", decoy.file("")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.gateExit) + " " + c.folderArgument);
        DeleteFileA(record.c_str());
        SetEnvironmentVariableA("ZORVANE_GATE_EXIT", c.gateExit);
        EXPECT_EQ(uninstall(c.folderArgument), 1603u);
        EXPECT_EQ(readFile(record), "\"" + folder + "\\ZorvaneUi.exe\" installer\n");
        EXPECT_EQ(serviceState(kWatchdogService), static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_EQ(serviceState(kFilterService), static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_TRUE(fileExists(folder + "\\service files\\zorvane_service.exe"));
        EXPECT_TRUE(fileExists(folder + "\\uninstall.exe"));
        EXPECT_EQ(registryText(kKey, "Install Path"), folder);
        EXPECT_TRUE(keyExists(kUninstallKey));
    }
}

// The update path: a second installation replaces the first, services
// included, and runs like it.
TEST_F(ScmInstaller, InstallOverAnInstallationReplacesItsServices) {
    ASSERT_EQ(install(), 0u);
    ASSERT_TRUE(waitForState(kFilterService, SERVICE_RUNNING));
    const Registration before = registrationOf(kFilterService);
    ASSERT_EQ(install(), 0u);
    for (const char* name : {kFilterService, kWatchdogService}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(waitForState(name, SERVICE_RUNNING));
        EXPECT_EQ(registrationOf(name).startType, static_cast<DWORD>(SERVICE_AUTO_START));
    }
    EXPECT_EQ(registrationOf(kFilterService).binaryPath, before.binaryPath);
    EXPECT_EQ(registryText(kKey, "Install Path"), installFolder());
    const std::string installLog = readFile(installFolder() + "\\install.log");
    EXPECT_NE(installLog.find("Services ZorvMan and Zorvane_Filter_service removed"),
              std::string::npos)
        << installLog;
}

// A folder somebody made before may hold links or programs of theirs where
// the services' programs would go: the installer leaves it and installs
// nothing.
TEST_F(ScmInstaller, InstallRefusesAFolderThatExistsAlready) {
    TempDir folder;
    const std::string planted = folder.file("service files");
    ASSERT_TRUE(CreateDirectoryA(planted.c_str(), nullptr));
    EXPECT_EQ(install(" /D=" + folder.path().string()), 1603u);
    EXPECT_FALSE(fileExists(planted + "\\zorvane_service.exe"));
    EXPECT_EQ(serviceState(kFilterService), 0u);
    EXPECT_EQ(serviceState(kWatchdogService), 0u);
    EXPECT_EQ(registryText(kKey, "Install Path"), "(none)");
    EXPECT_FALSE(keyExists(kUninstallKey));
}

}  // namespace

// The service program under Wine's service control manager: console
// installer, service states and controls, the service thread's start, and
// its desktop channel.
#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "UiPipeScenario.h"
#include "WinPipeClient.h"
#include "WinScm.h"

namespace {

constexpr char kServiceName[] = "Zorvane_Filter_service";
constexpr char kUsage[] = "\nUSAGE:\nserver -i\tInstall service\nserver -u\tUninstall service\n";

std::string serviceProgram() {
    return windowsPath(ZORVANE_SERVICE_PROGRAM);
}

ProgramResult runService(const std::string& arguments) {
    return runProgram("\"" + serviceProgram() + "\" " + arguments);
}

std::string windowsFolder() {
    char folder[MAX_PATH] = {};
    GetWindowsDirectoryA(folder, MAX_PATH);
    return folder;
}

// The service's data folder: the test prefix's program-data folder.
std::string programDataFolder() {
    return windowsFolder().substr(0, 2) + "\\ProgramData\\Zorvane\\";
}

// A file given new contents for one test; the former contents (or their
// absence) come back afterwards, so that later programs in the prefix start
// as before.
class ReplacedFile {
public:
    ReplacedFile(std::string path, const std::string& contents) : mPath(std::move(path)) {
        std::ifstream in(mPath, std::ios::binary);
        mExisted = in.good();
        if (mExisted) {
            std::ostringstream former;
            former << in.rdbuf();
            mFormer = former.str();
        }
        in.close();
        write(contents);
    }
    ~ReplacedFile() {
        if (mExisted) {
            write(mFormer);
        } else {
            DeleteFileA(mPath.c_str());
        }
    }
    ReplacedFile(const ReplacedFile&) = delete;
    ReplacedFile& operator=(const ReplacedFile&) = delete;

private:
    void write(const std::string& contents) {
        std::ofstream(mPath, std::ios::binary | std::ios::trunc) << contents;
    }

    std::string mPath;
    bool mExisted = false;
    std::string mFormer;
};

// Sends `control` and returns the state the SCM holds afterwards.
DWORD control(DWORD code) {
    ScHandle service = openService(kServiceName);
    SERVICE_STATUS status{};
    ControlService(service.get(), code, &status);
    Sleep(100);  // the handler runs on the service's control thread
    return serviceState(kServiceName);
}

// The process the SCM runs the service in; 0 when it runs none.
DWORD servicePid() {
    ScHandle service = openService(kServiceName);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof status,
                                          &needed)) {
        return 0;
    }
    return status.dwProcessId;
}

// How many threads of process `pid` are suspended; -1 when they cannot be
// looked at. Suspending a thread tells its former count.
int suspendedThreads(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int suspended = 0;
    int seen = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid) {
            continue;
        }
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (!thread) {
            continue;  // ended meanwhile
        }
        const DWORD before = SuspendThread(thread);
        if (before != static_cast<DWORD>(-1)) {
            ++seen;
            ResumeThread(thread);
            suspended += before > 0 ? 1 : 0;
        }
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return seen > 0 ? suspended : -1;
}

bool deleteServiceLog() {
    std::string folder = windowsFolder() + "\\Temp\\Zorvane\\";
    for (const char* name : {"zorvane_service.log", "zorvane_service1.log"}) {
        std::string path = folder + name;
        // A service process on its way out may still hold the file.
        for (int i = 0;
             i < 100 && !DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND; ++i) {
            Sleep(100);
        }
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return false;
        }
    }
    return true;
}

bool logShows(const std::string& text) {
    for (int i = 0; i < 150; ++i) {
        if (readServiceLog().find(text) != std::string::npos) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

void expectRegistration() {
    ScHandle service = openService(kServiceName);
    ASSERT_TRUE(service);
    std::vector<char> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigA(service.get(), config, buffer.size(), &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_STRCASEEQ(config->lpBinaryPathName, ("\"" + serviceProgram() + "\"").c_str());
    EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
    EXPECT_STREQ(config->lpDisplayName, kServiceName);

    ASSERT_TRUE(QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION,
                                     reinterpret_cast<BYTE*>(buffer.data()), buffer.size(),
                                     &needed));
    EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data())->lpDescription,
                 "Zorvane Internet Filter Service");

    // Wine keeps no failure actions (it refuses the query level); Windows does.
    if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                              reinterpret_cast<BYTE*>(buffer.data()), buffer.size(), &needed)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
        return;
    }
    auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
    EXPECT_EQ(failure->dwResetPeriod, 1u);
    ASSERT_EQ(failure->cActions, 1u);
    EXPECT_EQ(failure->lpsaActions[0].Type, SC_ACTION_RESTART);
    EXPECT_EQ(failure->lpsaActions[0].Delay, 100u);
}

// Outside the SCM the arguments alone decide; the dispatcher fails there.
TEST(ServiceCommandLine, UsageOrDispatcherFailureOutsideTheScm) {
    struct Case {
        const char* arguments;
        DWORD exitCode;
        const char* output;
    } cases[] = {
        {"-x", 0, kUsage},
        {"-iu", 0, kUsage},
        {"-i extra", 1063, "StartServiceCtrlDispatcher failed with err: 1063\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        ProgramResult result = runService(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.output, c.output);
    }
}

class ScmServiceLifecycle : public testing::Test {
protected:
    // Wine starts an installed auto-start service with every later program
    // in the prefix: none may be left behind, whatever happens here.
    void SetUp() override { removeService(kServiceName); }
    void TearDown() override { removeService(kServiceName); }
};

TEST_F(ScmServiceLifecycle, InstallControlAndUninstall) {
    ASSERT_TRUE(deleteServiceLog());

    ProgramResult install = runService("-I");
    EXPECT_EQ(install.exitCode, 0u);
    EXPECT_EQ(install.output, "Service Installed\nService Running...\n");
    ASSERT_EQ(serviceState(kServiceName), static_cast<DWORD>(SERVICE_RUNNING));
    expectRegistration();

    ProgramResult again = runService("-i");
    EXPECT_EQ(again.exitCode, 1073u);
    EXPECT_EQ(again.output, "CreateService failed with err: 1073\n");

    // The service thread built the paths and got as far as the settings.
    ASSERT_TRUE(logShows("Loading Settings from store\n")) << readServiceLog();
    std::string programData = programDataFolder();
    std::string temp = windowsFolder() + "\\Temp\\Zorvane\\";
    std::string log = readServiceLog();
    for (const std::string& line : {
             " programDataDir " + programData + "\n",
             " settingsPath " + programData + "zorvane.cred\n",
             " hostCachePath " + programData + "https_cache\n",
             " logLevelPath " + programData + "zorvane_log_level\n",
             " logPath " + temp + "zorvane_service.log\n",
             " updateInstallerPath " + temp + "\n",
             " logger i/p " + temp + "zorvane_service.log " + programData + "zorvane_log_level\n",
             std::string(" before WinNotifier::instance()\n"),
             std::string(" after WinNotifier::instance()\n"),
         }) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    // The host cache is loaded after the settings.
    ASSERT_TRUE(logShows("Loading HTTPS cache from store\n")) << readServiceLog();
    log = readServiceLog();
    EXPECT_LT(log.find("Loading Settings from store\n"),
              log.find("Loading HTTPS cache from store\n"));
    EXPECT_NE(GetFileAttributesA(programData.c_str()), INVALID_FILE_ATTRIBUTES);

    // Pause and continue act once; a repeat, and interrogate, keep the state.
    // A pause holds the check loop between passes: no thread is suspended,
    // so none can stop while it holds a lock the readers need.
    const DWORD pid = servicePid();
    ASSERT_NE(pid, 0u);
    EXPECT_EQ(control(SERVICE_CONTROL_PAUSE), static_cast<DWORD>(SERVICE_PAUSED));
    EXPECT_TRUE(logShows(" service paused\n")) << readServiceLog();
    EXPECT_EQ(suspendedThreads(pid), 0);
    EXPECT_EQ(control(SERVICE_CONTROL_PAUSE), static_cast<DWORD>(SERVICE_PAUSED));
    EXPECT_EQ(control(SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(SERVICE_PAUSED));
    EXPECT_EQ(control(SERVICE_CONTROL_CONTINUE), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(logShows(" service continued\n")) << readServiceLog();
    EXPECT_EQ(control(SERVICE_CONTROL_CONTINUE), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(control(SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(SERVICE_RUNNING));
    {
        ScHandle service = openService(kServiceName);
        SERVICE_STATUS status{};
        ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
        EXPECT_EQ(status.dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE |
                                     SERVICE_ACCEPT_SHUTDOWN));

        // A stop ends the process with 0, its threads with it.
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
        ASSERT_NE(process, nullptr);
        SERVICE_STATUS stopping{};
        ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &stopping));
        ASSERT_TRUE(waitForState(kServiceName, SERVICE_STOPPED));
        ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
        EXPECT_EQ(status.dwWin32ExitCode, 0u);
        EXPECT_EQ(WaitForSingleObject(process, 15000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD exitCode = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeProcess(process, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        CloseHandle(process);

        ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr));
        ASSERT_TRUE(waitForState(kServiceName, SERVICE_RUNNING));
    }

    ProgramResult uninstall = runService("-u");
    EXPECT_EQ(uninstall.exitCode, 0u);
    EXPECT_EQ(uninstall.output, "Stopping service...\nService Uninstalled\n");
    EXPECT_TRUE(waitUntilGone(kServiceName));

    ProgramResult absent = runService("-U");
    EXPECT_EQ(absent.exitCode, 0u);
    EXPECT_EQ(absent.output, "");
}

// The service as installed and started by the SCM, driven through the client
// library on the real pipe.
TEST_F(ScmServiceLifecycle, ServesTheDesktopChannelAndSurvivesBadClients) {
    ASSERT_TRUE(deleteServiceLog());
    const std::string programData = programDataFolder();
    CreateDirectoryA(programData.c_str(), nullptr);  // fails harmlessly when it exists
    ReplacedFile settings(programData + "zorvane.cred", kUiScenarioSettings);
    ReplacedFile cloud(programData + "zorvane_cloud.conf", kUiScenarioCloudConfig);

    ProgramResult install = runService("-i");
    ASSERT_EQ(install.exitCode, 0u) << install.output;
    ASSERT_TRUE(logShows("waiting for UI command\n")) << readServiceLog();
    {
        // Removing the service ends a pipe read that would hang.
        Deadline deadline(45, [] { removeService(kServiceName); });
        runUiScenario(
            {[] { return std::make_unique<WinPipeClient>(); }, [] { return readServiceLog(); }});
        ASSERT_FALSE(deadline.expired()) << "a pipe read hung; the service was removed to end it";
    }
    EXPECT_EQ(serviceState(kServiceName), static_cast<DWORD>(SERVICE_RUNNING));
}

}  // namespace

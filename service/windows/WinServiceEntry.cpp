#include "WinServiceEntry.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The program this process runs; set once by runWinServiceProgram before
// any other thread exists.
const WinServiceProgram* program = nullptr;

SERVICE_STATUS_HANDLE serviceStatusHandle = nullptr;
HANDLE terminateEvent = nullptr;
HANDLE threadHandle = nullptr;
// Shared by the control handler and ServiceMain without a lock: single words.
volatile LONG runningService = 0;
volatile LONG pauseService = 0;
// The state last reported, for reports that only repeat it.
volatile DWORD currentState = SERVICE_START_PENDING;
// The exit code of the stop reported last: the process ends with it.
volatile DWORD stoppedWith = 0;

constexpr DWORD kAcceptedWhenStarted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

[[noreturn]] void ErrorHandler(const char* name, int err) {
    std::printf("%s failed with err: %d\n", name, err);
    std::fflush(stdout);
    std::exit(err);
}

int lastError() {
    return static_cast<int>(GetLastError());
}

void ShowUsage() {
    std::printf("\nUSAGE:\n");
    std::printf("server -i\tInstall service\n");
    std::printf("server -u\tUninstall service\n");
}

void StopService() {
    runningService = 0;
    if (terminateEvent) {
        SetEvent(terminateEvent);
    }
}

BOOL SendStatusToSCM(DWORD state, DWORD win32ExitCode, DWORD serviceSpecificExitCode,
                     DWORD checkPoint, DWORD waitHint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptedWhenStarted;
    status.dwWin32ExitCode =
        serviceSpecificExitCode == 0 ? win32ExitCode : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = serviceSpecificExitCode;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    currentState = state;
    BOOL success = SetServiceStatus(serviceStatusHandle, &status);
    if (!success) {
        StopService();
    }
    return success;
}

void terminate(DWORD error) {
    stoppedWith = error;
    if (terminateEvent) {
        CloseHandle(terminateEvent);
        terminateEvent = nullptr;
    }
    if (serviceStatusHandle) {
        SendStatusToSCM(SERVICE_STOPPED, error, 0, 0, 0);
    }
    if (threadHandle) {
        CloseHandle(threadHandle);
        threadHandle = nullptr;
    }
}

DWORD WINAPI ServiceThread(LPVOID /*parm*/) {
    program->serviceThread();
    return 0;
}

BOOL InitService() {
    threadHandle = CreateThread(nullptr, 0, ServiceThread, nullptr, 0, nullptr);
    if (!threadHandle) {
        return FALSE;
    }
    runningService = 1;
    return TRUE;
}

// Only the program's loop stops, between two steps; its other threads go on.
void PauseService() {
    pauseService = 1;
    program->setPaused(true);
}

void ResumeService() {
    pauseService = 0;
    program->setPaused(false);
}

void WINAPI ServiceCtrlHandler(DWORD controlCode) {
    switch (controlCode) {
        case SERVICE_CONTROL_STOP:
            // The stopped state comes from ServiceMain once it sees the event.
            SendStatusToSCM(SERVICE_STOP_PENDING, NO_ERROR, 0, 1, 5000);
            StopService();
            return;
        case SERVICE_CONTROL_PAUSE:
            if (runningService && !pauseService) {
                SendStatusToSCM(SERVICE_PAUSE_PENDING, NO_ERROR, 0, 1, 1000);
                PauseService();
                SendStatusToSCM(SERVICE_PAUSED, NO_ERROR, 0, 0, 0);
                return;
            }
            break;
        case SERVICE_CONTROL_CONTINUE:
            if (runningService && pauseService) {
                SendStatusToSCM(SERVICE_CONTINUE_PENDING, NO_ERROR, 0, 1, 1000);
                ResumeService();
                SendStatusToSCM(SERVICE_RUNNING, NO_ERROR, 0, 0, 0);
                return;
            }
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            return;
        default:
            break;
    }
    SendStatusToSCM(currentState, NO_ERROR, 0, 0, 0);
}

void WINAPI ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
    serviceStatusHandle = RegisterServiceCtrlHandlerA(program->name, ServiceCtrlHandler);
    bool started =
        serviceStatusHandle && SendStatusToSCM(SERVICE_START_PENDING, NO_ERROR, 0, 1, 5000);
    if (started) {
        terminateEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        started = terminateEvent != nullptr;
    }
    started = started && SendStatusToSCM(SERVICE_START_PENDING, NO_ERROR, 0, 2, 1000) &&
              SendStatusToSCM(SERVICE_START_PENDING, NO_ERROR, 0, 3, 5000) && InitService() &&
              SendStatusToSCM(SERVICE_RUNNING, NO_ERROR, 0, 0, 0);
    if (!started) {
        terminate(GetLastError());
        return;
    }
    WaitForSingleObject(terminateEvent, INFINITE);
    terminate(0);
}

// The SCM's recommended start loop: start, then wait while the service
// reports progress.
int ServiceRun() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        ErrorHandler("OpenSCManager", lastError());
    }
    SC_HANDLE service = OpenServiceA(manager, program->name, SERVICE_ALL_ACCESS);
    if (!service) {
        ErrorHandler("OpenService", lastError());
    }
    StartServiceA(service, 0, nullptr);
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) {
        ErrorHandler("QueryServiceStatus", lastError());
    }
    DWORD startTick = GetTickCount();
    DWORD oldCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        DWORD wait = status.dwWaitHint / 10;
        if (wait < 1000) {
            wait = 1000;
        } else if (wait > 10000) {
            wait = 10000;
        }
        Sleep(wait);
        if (!QueryServiceStatus(service, &status)) {
            break;
        }
        if (status.dwCheckPoint > oldCheckPoint) {
            startTick = GetTickCount();
            oldCheckPoint = status.dwCheckPoint;
        } else if (GetTickCount() - startTick > status.dwWaitHint) {
            break;
        }
    }
    if (status.dwCurrentState == SERVICE_RUNNING) {
        std::printf("Service Running...\n");
    } else {
        std::printf("\nService not started.\n");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 1;
}

int InstallService() {
    char fileName[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, fileName, MAX_PATH);
    char commandLine[MAX_PATH + 3] = {};
    std::snprintf(commandLine, sizeof commandLine, "\"%s\"", fileName);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        ErrorHandler("OpenSCManager", lastError());
    }
    SC_HANDLE service =
        CreateServiceA(manager, program->name, program->name, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       commandLine, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        ErrorHandler("CreateService", lastError());
    }
    std::printf("Service Installed\n");

    std::vector<char> description(program->description,
                                  program->description + std::strlen(program->description) + 1);
    SERVICE_DESCRIPTIONA descriptionInfo{description.data()};
    SC_ACTION restart{SC_ACTION_RESTART, 100};
    SERVICE_FAILURE_ACTIONSA failureActions{};
    failureActions.dwResetPeriod = 1;
    failureActions.lpRebootMsg = nullptr;
    failureActions.lpCommand = nullptr;
    failureActions.cActions = 1;
    failureActions.lpsaActions = &restart;
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &descriptionInfo) ||
        !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions)) {
        ErrorHandler("CreateService", lastError());
    }

    ServiceRun();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 1;
}

int UninstallService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        ErrorHandler("OpenSCManager", lastError());
    }
    SC_HANDLE service = OpenServiceA(manager, program->name, SERVICE_ALL_ACCESS);
    if (!service) {
        int error = lastError();
        CloseServiceHandle(manager);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return 0;
        }
        ErrorHandler("OpenService", error);
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) {
        ErrorHandler("QueryServiceStatus", lastError());
    }
    if (status.dwCurrentState != SERVICE_STOPPED) {
        std::printf("Stopping service...\n");
        std::fflush(stdout);
        if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
            ErrorHandler("ControlService", lastError());
        }
        Sleep(500);
    }
    if (!DeleteService(service)) {
        ErrorHandler("DeleteService", lastError());
    }
    std::printf("Service Uninstalled\n");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 1;
}

}  // namespace

void endServiceProcess(int code) {
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    std::_Exit(code);
}

int runWinServiceProgram(int argc, char** argv, const WinServiceProgram& serviceProgram) {
    program = &serviceProgram;
    if (argc == 2) {
        if (_stricmp(argv[1], "-i") == 0) {
            InstallService();
        } else if (_stricmp(argv[1], "-u") == 0) {
            UninstallService();
        } else {
            ShowUsage();
        }
        return 0;
    }
    std::vector<char> name(program->name, program->name + std::strlen(program->name) + 1);
    SERVICE_TABLE_ENTRYA dispatchTable[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(dispatchTable)) {
        ErrorHandler("StartServiceCtrlDispatcher", lastError());
    }
    // The service stopped (and said so); its threads still run. A start that
    // failed ends with its error.
    endServiceProcess(static_cast<int>(stoppedWith));
}

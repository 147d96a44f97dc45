// A minimal Windows service for the ServiceManager tests: -i installs and
// starts it, -u stops and removes it; every call with one argument is noted
// in calls.txt beside the program. Without arguments it runs as the service.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

char serviceName[] = "ZorvaneTestService";
SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

std::string ownPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

void noteCall(const char* argument) {
    std::string path = ownPath();
    path = path.substr(0, path.find_last_of('\\') + 1) + "calls.txt";
    if (FILE* calls = std::fopen(path.c_str(), "ab")) {
        std::fprintf(calls, "%s\n", argument);
        std::fclose(calls);
    }
}

void report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(statusHandle, &status);
}

void WINAPI handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        SetEvent(stopEvent);
    }
}

void WINAPI serviceMain(DWORD, LPSTR*) {
    statusHandle = RegisterServiceCtrlHandlerA(serviceName, handler);
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_RUNNING);
    WaitForSingleObject(stopEvent, INFINITE);
    report(SERVICE_STOPPED);
}

bool waitFor(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 200; ++i) {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

int install() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    std::string commandLine = "\"" + ownPath() + "\"";
    SC_HANDLE service =
        manager
            ? CreateServiceA(manager, serviceName, serviceName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
            : nullptr;
    int result = service && StartServiceA(service, 0, nullptr) && waitFor(service, SERVICE_RUNNING)
                     ? 0
                     : static_cast<int>(GetLastError());
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return result;
}

int uninstall() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS) : nullptr;
    if (service) {
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        waitFor(service, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        noteCall(argv[1]);
        if (std::string(argv[1]) == "-i") {
            return install();
        }
        if (std::string(argv[1]) == "-u") {
            return uninstall();
        }
        return 1;
    }
    SERVICE_TABLE_ENTRYA table[] = {{serviceName, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}

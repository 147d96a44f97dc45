#include "WinScm.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

std::string windowsPath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

ProgramResult runProgram(const std::string& commandLine) {
    ProgramResult result;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        result.exitCode = static_cast<DWORD>(-1);
        return result;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        result.exitCode = static_cast<DWORD>(-1);
        return result;
    }
    char block[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, block, sizeof block, &got, nullptr) && got > 0) {
        result.output.append(block, got);
    }
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'),
                        result.output.end());
    return result;
}

ScHandle openService(const char* name, DWORD* error) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    SC_HANDLE service = manager ? OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS) : nullptr;
    if (!service && error) {
        *error = GetLastError();
    }
    return ScHandle(service);
}

DWORD serviceState(const char* name) {
    ScHandle service = openService(name);
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status)) {
        return 0;
    }
    return status.dwCurrentState;
}

namespace {

template <typename Condition>
bool poll(Condition condition) {
    for (int i = 0; i < 300; ++i) {
        if (condition()) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

}  // namespace

bool waitForState(const char* name, DWORD state) {
    return poll([&] { return serviceState(name) == state; });
}

bool waitUntilGone(const char* name) {
    return poll([&] {
        DWORD error = 0;
        return !openService(name, &error) && error == ERROR_SERVICE_DOES_NOT_EXIST;
    });
}

void removeService(const char* name) {
    {
        ScHandle service = openService(name);
        if (!service) {
            return;
        }
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);  // fails when stopped
        waitForState(name, SERVICE_STOPPED);
        DeleteService(service.get());
    }
    waitUntilGone(name);
}

std::string readServiceLog() {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string folder = std::string(windows) + "\\Temp\\Zorvane\\";
    std::string text;
    for (const char* name : {"zorvane_service1.log", "zorvane_service.log"}) {
        std::ifstream in(folder + name, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        text += content.str();
    }
    // Written in text mode.
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

Registration registrationOf(const char* name) {
    Registration registration;
    registration.state = serviceState(name);
    ScHandle service = openService(name);
    std::vector<char> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (service && QueryServiceConfigA(service.get(), config, buffer.size(), &needed)) {
        registration.binaryPath = config->lpBinaryPathName;
        registration.startType = config->dwStartType;
    }
    if (service &&
        QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION,
                             reinterpret_cast<BYTE*>(buffer.data()), buffer.size(), &needed)) {
        const char* text = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data())->lpDescription;
        registration.description = text ? text : "";
    }
    return registration;
}
